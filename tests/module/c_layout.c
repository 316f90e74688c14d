/* Compiled as C11: every public header must be usable from C, together. */
#include <korva/host_records.h>
#include <korva/layout_assert.h>
#include <korva/module.h>
#include <korva/pkcs11_constants.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include "tests/module/c_layout.h"

/* The constants are plain integer constant expressions in C. */
_Static_assert(CKR_VENDOR_ATTRIBUTE_LIST_FULL == 0x80000001u, "vendor return value");
_Static_assert(CKM_GOSTR3410_WITH_GOSTR3411_12_512 == 0xD4321009u, "TC26 mechanism");

CLayout korvaCLayout(void) {
    CLayout layout;
    layout.attribute = sizeof(CK_ATTRIBUTE);
    layout.mechanism = sizeof(CK_MECHANISM);
    layout.tokenInfo = sizeof(CK_TOKEN_INFO);
    layout.loginRecord = sizeof(LoginRecord);
    layout.pinLengthOffset = offsetof(LoginRecord, pinLength);
    layout.byteVector = sizeof(HostByteVector);
    layout.vectorBeginOffset = offsetof(HostByteVector, begin);
    layout.vectorEndOffset = offsetof(HostByteVector, end);
    layout.sessionObject = sizeof(SessionObject);
    layout.sessionCountOffset = offsetof(SessionObject, count);
    layout.objectSummary = sizeof(ObjectSummary);
    layout.findCursor = sizeof(FindCursor);
    layout.operationRecord = sizeof(OperationRecord);
    layout.hostContext = sizeof(HostContext);
    layout.functionTable = sizeof(ModuleFunctionTable);
    layout.releaseAttributesOffset = offsetof(ModuleFunctionTable, releaseAttributes);
    return layout;
}
