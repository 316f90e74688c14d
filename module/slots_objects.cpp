// Slots of the object store: creating, searching, reading, updating and
// destroying objects, and releasing what the module handed to the host:
// trampolines into objects/.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "objects/attribute_set.h"
#include "objects/create_object.h"
#include "objects/destroy_object.h"
#include "objects/enumerate.h"
#include "objects/update_object.h"

#include <cstdlib>

namespace korva::slots {

extern "C" {

CK_RV korva_slot11_createObject(HostContext* host, const LoginRecord* login, const HostByteVector* settings,
                                const CK_ATTRIBUTE* attributes, CK_ULONG count, ObjectHandle* handle,
                                ObjectSummary* summary) {
    return guardSlot([&] { return objects::createObject(host, login, settings, attributes, count, handle, summary); });
}

CK_RV korva_slot13_getAttributeValue(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                     const ObjectHandle* handle, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return guardSlot([&] { return objects::getAttributeValue(host, login, settings, handle, attributes, count); });
}

CK_RV korva_slot14_findObjectsInit(HostContext /*host*/, const void* /*unused*/, const CK_ATTRIBUTE* attributes,
                                   CK_ULONG count, FindCursor* cursor) {
    return guardSlot([&] { return objects::findObjectsInit(attributes, count, cursor); });
}

CK_RV korva_slot15_findNextObject(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                  CK_ATTRIBUTE* attributes, CK_ULONG count, FindCursor* cursor, ObjectHandle* handle,
                                  CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate) {
    return guardSlot([&] {
        return objects::findNextObject(host, login, settings, attributes, count, cursor, handle, objectClass,
                                       isPrivate);
    });
}

CK_RV korva_slot16_destroyObject(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                 const ObjectHandle* handle) {
    return guardSlot([&] { return objects::destroyObject(host, login, settings, handle); });
}

CK_RV korva_slot17_getObjectSize(HostContext /*host*/, const void* /*unused1*/, const void* /*unused2*/,
                                 const ObjectHandle* handle, CK_ULONG* size) {
    return guardSlot([&] { return objects::getObjectSize(handle, size); });
}

CK_RV korva_slot18_setAttributes(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                 const ObjectHandle* handle, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return guardSlot([&] { return objects::setAttributes(host, login, settings, handle, attributes, count); });
}

CK_RV korva_slot61_releaseBuffer(void* buffer) {
    // Buffers the module hands out come from malloc.
    std::free(buffer);
    return abi::CKR_OK;
}

CK_RV korva_slot62_findNextObjectAttributes(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                            FindCursor* cursor, CK_ATTRIBUTE** attributes, CK_ULONG* count,
                                            ObjectHandle* handle, CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate) {
    return guardSlot([&] {
        return objects::findNextObjectAttributes(host, login, settings, cursor, attributes, count, handle, objectClass,
                                                 isPrivate);
    });
}

void korva_slot63_releaseAttributes(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    guardSlot([&] { objects::releaseAttributeArray(attributes, count); });
}

CK_RV korva_slot64_getAllAttributes(HostContext host, const void* /*unused*/, const HostByteVector* settings,
                                    const ObjectHandle* handle, CK_ATTRIBUTE** attributes, CK_ULONG* count,
                                    CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate) {
    return guardSlot([&] {
        return objects::getAllAttributes(host, settings, handle, attributes, count, objectClass, isPrivate);
    });
}

CK_RV korva_slot65_getDefaultAttributes(HostContext /*host*/, const void* /*unused1*/, const void* /*unused2*/,
                                        CK_ATTRIBUTE** attributes, CK_ULONG* count, CK_OBJECT_CLASS objectClass) {
    return guardSlot([&] { return objects::getDefaultAttributes(attributes, count, objectClass); });
}

CK_RV korva_slot66_getChangeCounter(HostContext host, const void* /*unused1*/, const void* /*unused2*/,
                                    CK_ULONG* counter) {
    return guardSlot([&] { return objects::getChangeCounter(host, counter); });
}

CK_RV korva_slot70_releaseSessionObjects(HostContext* host, const void* /*unused*/, const HostHandleList* handles) {
    return guardSlot([&] { return objects::releaseSessionObjects(host, handles); });
}

}  // extern "C"

}  // namespace korva::slots
