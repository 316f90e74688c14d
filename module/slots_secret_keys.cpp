// Slots of secret keys and import: trampolines into keys/.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "import/certificate_import.h"
#include "keys/key_derivation.h"
#include "keys/key_wrap.h"
#include "import/pkcs12_import.h"
#include "keys/secret_key_generation.h"

namespace korva::slots {

extern "C" {

CK_RV korva_slot19_generateKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                               const CK_ATTRIBUTE* attributes, CK_ULONG count, const CK_MECHANISM* mechanism,
                               ObjectHandle* handle, ObjectSummary* summary) {
    return guardSlot(
        [&] { return keys::generateSecretKey(host, login, settings, attributes, count, mechanism, handle, summary); });
}

CK_RV korva_slot41_wrapKey(HostContext host, const LoginRecord* login, const void*, const CK_MECHANISM* mechanism,
                           const ObjectHandle* wrappingKey, const ObjectHandle* key, uint8_t* output,
                           CK_ULONG* outputLength) {
    return guardSlot([&] { return keys::wrapKey(host, login, mechanism, wrappingKey, key, output, outputLength); });
}

CK_RV korva_slot42_unwrapKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                             const CK_MECHANISM* mechanism, const ObjectHandle* unwrappingKey,
                             const uint8_t* wrappedKey, CK_ULONG wrappedKeyLength, const CK_ATTRIBUTE* attributes,
                             CK_ULONG count, ObjectHandle* handle, ObjectSummary* summary) {
    return guardSlot([&] {
        return keys::unwrapKey(host, login, settings, mechanism, unwrappingKey, wrappedKey, wrappedKeyLength,
                               attributes, count, handle, summary);
    });
}

CK_RV korva_slot43_deriveKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                             const CK_MECHANISM* mechanism, const ObjectHandle* baseKey, const CK_ATTRIBUTE* attributes,
                             CK_ULONG count, ObjectHandle* handle, ObjectSummary* summary) {
    return guardSlot(
        [&] { return keys::deriveKey(host, login, settings, mechanism, baseKey, attributes, count, handle, summary); });
}

CK_RV korva_slot46_importPkcs12(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                const uint8_t* data, CK_ULONG dataLength, const char* password, CK_ULONG passwordLength,
                                ObjectSummary* certificate, ObjectSummary* publicKey, ObjectSummary* privateKey) {
    return guardSlot([&] {
        return import::importPkcs12(host, login, settings, data, dataLength, password, passwordLength,
                                    {certificate, publicKey, privateKey});
    });
}

CK_RV korva_slot47_importCertificate(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                     const char* label, const uint8_t* id, CK_ULONG idLength, const uint8_t* der,
                                     CK_ULONG derLength) {
    return guardSlot(
        [&] { return import::importCertificate(host, login, settings, label, id, idLength, der, derLength); });
}

}  // extern "C"

}  // namespace korva::slots
