// Slots of secret keys and import: trampolines into keys/.
#include "slot_guard.h"
#include "slots.h"

#include "keys/key_derivation.h"
#include "keys/secret_key_generation.h"

namespace korva::slots {

extern "C" {

CK_RV korva_slot19_generateKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                               const CK_ATTRIBUTE* attributes, CK_ULONG count, const CK_MECHANISM* mechanism,
                               ObjectHandle* handle, ObjectSummary* summary) {
    return guardSlot([&] {
        return keys::generateSecretKey(host, login, settings, attributes, count, mechanism, handle, summary);
    });
}

CK_RV korva_slot43_deriveKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                             const CK_MECHANISM* mechanism, const ObjectHandle* baseKey, const CK_ATTRIBUTE* attributes,
                             CK_ULONG count, ObjectHandle* handle, ObjectSummary* summary) {
    return guardSlot([&] {
        return keys::deriveKey(host, login, settings, mechanism, baseKey, attributes, count, handle, summary);
    });
}

}  // extern "C"

}  // namespace korva::slots
