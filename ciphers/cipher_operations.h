// Encryption and decryption as the eight slots offer them: initialisation,
// single-part, update and final, for each direction.
//
// Nothing is kept between calls. Initialisation checks the mechanism and
// the key and writes the host's 40-byte OperationRecord: the chaining value
// (the IV, later the last ciphertext block), the number of pending bytes
// and up to one block of them. Every data call gets that record, the key
// handle and the mechanism type back, works on the whole blocks it has and
// leaves the record untouched whenever it fails or only reports a length.
//
// Lengths follow PKCS#11: `outputLength` holds the buffer's size on entry
// and the output's length on return; a null `output` asks for the length,
// a short one gives CKR_BUFFER_TOO_SMALL with the length needed.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::ciphers {

// The arguments every data call shares.
struct CipherCall {
    const HostContext& host;
    const abi::LoginRecord* login;
    const abi::ObjectHandle* key;
    abi::OperationRecord* state;
    abi::CK_MECHANISM_TYPE mechanism;
};

// Slots 29 and 33.
abi::CK_RV encryptInit(const HostContext& host, const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* key,
                       abi::OperationRecord* state) noexcept;
abi::CK_RV decryptInit(const HostContext& host, const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* key,
                       abi::OperationRecord* state) noexcept;

// Slots 30 and 34.
abi::CK_RV encrypt(const CipherCall& call, const uint8_t* input, abi::CK_ULONG inputLength, uint8_t* output,
                   abi::CK_ULONG* outputLength);
abi::CK_RV decrypt(const CipherCall& call, const uint8_t* input, abi::CK_ULONG inputLength, uint8_t* output,
                   abi::CK_ULONG* outputLength);

// Slots 31 and 35. Decryption keeps the last block back for the final call.
abi::CK_RV encryptUpdate(const CipherCall& call, const uint8_t* input, abi::CK_ULONG inputLength, uint8_t* output,
                         abi::CK_ULONG* outputLength);
abi::CK_RV decryptUpdate(const CipherCall& call, const uint8_t* input, abi::CK_ULONG inputLength, uint8_t* output,
                         abi::CK_ULONG* outputLength);

// Slots 32 and 36: the pending bytes, padded or unpadded as the mechanism
// says.
abi::CK_RV encryptFinal(const CipherCall& call, uint8_t* output, abi::CK_ULONG* outputLength);
abi::CK_RV decryptFinal(const CipherCall& call, uint8_t* output, abi::CK_ULONG* outputLength);

}  // namespace korva::ciphers
