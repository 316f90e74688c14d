// Slots of encryption and decryption: trampolines into ciphers/cipher_operations.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "ciphers/cipher_operations.h"

namespace korva::slots {

extern "C" {

CK_RV korva_slot29_encryptInit(HostContext host, const void*, const void*, const CK_MECHANISM* mechanism,
                               const ObjectHandle* key, OperationRecord* state) {
    return guardSlot([&] { return ciphers::encryptInit(host, mechanism, key, state); });
}

CK_RV korva_slot30_encrypt(HostContext host, const LoginRecord* login, const void*, const uint8_t* input,
                           CK_ULONG inputLength, uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                           OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] {
        return ciphers::encrypt({host, login, key, state, mechanism}, input, inputLength, output, outputLength);
    });
}

CK_RV korva_slot31_encryptUpdate(HostContext host, const LoginRecord* login, const void*, const uint8_t* input,
                                 CK_ULONG inputLength, uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                                 OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] {
        return ciphers::encryptUpdate({host, login, key, state, mechanism}, input, inputLength, output, outputLength);
    });
}

CK_RV korva_slot32_encryptFinal(HostContext host, const LoginRecord* login, const void*, uint8_t* output,
                                CK_ULONG* outputLength, const ObjectHandle* key, OperationRecord* state,
                                CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] { return ciphers::encryptFinal({host, login, key, state, mechanism}, output, outputLength); });
}

CK_RV korva_slot33_decryptInit(HostContext host, const void*, const void*, const CK_MECHANISM* mechanism,
                               const ObjectHandle* key, OperationRecord* state) {
    return guardSlot([&] { return ciphers::decryptInit(host, mechanism, key, state); });
}

CK_RV korva_slot34_decrypt(HostContext host, const LoginRecord* login, const void*, const uint8_t* input,
                           CK_ULONG inputLength, uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                           OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] {
        return ciphers::decrypt({host, login, key, state, mechanism}, input, inputLength, output, outputLength);
    });
}

CK_RV korva_slot35_decryptUpdate(HostContext host, const LoginRecord* login, const void*, const uint8_t* input,
                                 CK_ULONG inputLength, uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                                 OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] {
        return ciphers::decryptUpdate({host, login, key, state, mechanism}, input, inputLength, output, outputLength);
    });
}

CK_RV korva_slot36_decryptFinal(HostContext host, const LoginRecord* login, const void*, uint8_t* output,
                                CK_ULONG* outputLength, const ObjectHandle* key, OperationRecord* state,
                                CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] { return ciphers::decryptFinal({host, login, key, state, mechanism}, output, outputLength); });
}

}  // extern "C"

}  // namespace korva::slots
