// Slots of key generation: trampolines into keys/.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "keys/generate_key_pair.h"

namespace korva::slots {

extern "C" {

CK_RV korva_slot20_generateKeyPair(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                   const CK_ATTRIBUTE* publicAttributes, CK_ULONG publicCount,
                                   const CK_ATTRIBUTE* privateAttributes, CK_ULONG privateCount,
                                   const CK_MECHANISM* mechanism, ObjectHandle* publicHandle,
                                   ObjectHandle* privateHandle, ObjectSummary* publicSummary,
                                   ObjectSummary* privateSummary) {
    return guardSlot([&] {
        return keys::generateKeyPair(host, login, settings, publicAttributes, publicCount, privateAttributes,
                                     privateCount, mechanism, publicHandle, privateHandle, publicSummary,
                                     privateSummary);
    });
}

}  // extern "C"

}  // namespace korva::slots
