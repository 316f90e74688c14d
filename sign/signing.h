// Signing and verification with key pairs on the card: the logic of the
// initialisation slots (23 and 27 for signing, 37 and 39 for verification),
// single-part signing (24, 28), verification (38) and verification with
// message recovery (40).
//
// Nothing is kept between an initialisation and its operation: the
// initialisation checks the mechanism against the key and fills the host's
// OperationRecord (the digest parameter set of CKM_GOSTR3410_WITH_GOSTR3411,
// zeros otherwise); the operation slot gets that record and the mechanism
// type back and repeats every key check on the card.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::sign {

// Slots 23/27 (a private key that may sign) and 37/39 (a public key that
// may verify).
abi::CK_RV signInit(const HostContext& host, const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* key,
                    abi::OperationRecord* state);
abi::CK_RV verifyInit(const HostContext& host, const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* key,
                      abi::OperationRecord* state);

// Slots 24/28. `signatureLength` holds the buffer's size on entry and the
// signature's length on return; a null `signature` asks for the length.
// GOST signatures are returned in host form (s then r).
abi::CK_RV signData(const HostContext& host, const abi::LoginRecord* login, const uint8_t* data,
                    abi::CK_ULONG dataLength, uint8_t* signature, abi::CK_ULONG* signatureLength,
                    const abi::ObjectHandle* key, const abi::OperationRecord* state, abi::CK_MECHANISM_TYPE mechanism);

// Slot 38: CKR_OK for a signature the card accepts, CKR_SIGNATURE_INVALID
// for one it rejects.
abi::CK_RV verifyData(const HostContext& host, const abi::LoginRecord* login, const uint8_t* data,
                      abi::CK_ULONG dataLength, const uint8_t* signature, abi::CK_ULONG signatureLength,
                      const abi::ObjectHandle* key, const abi::OperationRecord* state,
                      abi::CK_MECHANISM_TYPE mechanism);

// Slot 40, CKM_RSA_PKCS only: the data inside an RSA signature, from the
// card's public-key transform. A null `output` asks for the length.
abi::CK_RV verifyRecover(const HostContext& host, const abi::LoginRecord* login, const uint8_t* signature,
                         abi::CK_ULONG signatureLength, uint8_t* output, abi::CK_ULONG* outputLength,
                         const abi::ObjectHandle* key, const abi::OperationRecord* state,
                         abi::CK_MECHANISM_TYPE mechanism);

}  // namespace korva::sign
