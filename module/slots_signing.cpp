// Slots of signing and verification on the card: trampolines into
// sign/signing. Slots 27, 28 and 39 share the functions of 23, 24 and 37
// through the table.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "sign/signing.h"

namespace korva::slots {

extern "C" {

CK_RV korva_slot23_signInit(HostContext host, const void*, const void*, const CK_MECHANISM* mechanism,
                            const ObjectHandle* key, OperationRecord* state) {
    return guardSlot([&] { return sign::signInit(host, mechanism, key, state); });
}

CK_RV korva_slot24_sign(HostContext host, const LoginRecord* login, const void*, const uint8_t* data,
                        CK_ULONG dataLength, uint8_t* signature, CK_ULONG* signatureLength, const ObjectHandle* key,
                        const OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] {
        return sign::signData(host, login, data, dataLength, signature, signatureLength, key, state, mechanism);
    });
}

CK_RV korva_slot37_verifyInit(HostContext host, const void*, const void*, const CK_MECHANISM* mechanism,
                              const ObjectHandle* key, OperationRecord* state) {
    return guardSlot([&] { return sign::verifyInit(host, mechanism, key, state); });
}

CK_RV korva_slot38_verify(HostContext host, const LoginRecord* login, const void*, const uint8_t* data,
                          CK_ULONG dataLength, const uint8_t* signature, CK_ULONG signatureLength,
                          const ObjectHandle* key, const OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] {
        return sign::verifyData(host, login, data, dataLength, signature, signatureLength, key, state, mechanism);
    });
}

CK_RV korva_slot40_verifyRecover(HostContext host, const LoginRecord* login, const void*, const uint8_t* signature,
                                 CK_ULONG signatureLength, uint8_t* output, CK_ULONG* outputLength,
                                 const ObjectHandle* key, const OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] {
        return sign::verifyRecover(host, login, signature, signatureLength, output, outputLength, key, state,
                                   mechanism);
    });
}

}  // extern "C"

}  // namespace korva::slots
