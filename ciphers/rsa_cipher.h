// RSA encryption and decryption with the card's 1024-bit key pairs, in
// software: the public key is read from the card (READ PUBLIC KEY), the
// private exponent from the key pair's file E1 nn. CKM_RSA_PKCS pads with
// PKCS#1 v1.5 block type 2, CKM_RSA_X_509 is the bare operation.
#pragma once

#include "ciphers/cipher_mechanisms.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>

namespace korva::ciphers {

// The public key of directory 50 01 (else CKR_KEY_HANDLE_INVALID) encrypts
// `input`: at most 117 bytes for CKM_RSA_PKCS, 128 for CKM_RSA_X_509 (else
// CKR_DATA_LEN_RANGE). `outputLength` holds the buffer's size on entry and
// receives 128; a null `output` asks only for the length, a short one gives
// CKR_BUFFER_TOO_SMALL. Key checks as at initialisation.
abi::CK_RV rsaEncrypt(const abi::HostContext& host, const abi::LoginRecord* login, const abi::ObjectHandle& key,
                      const CipherMechanism& mechanism, std::span<const uint8_t> input, uint8_t* output,
                      abi::CK_ULONG* outputLength) noexcept;

// The private key of directory 50 00 (else CKR_KEY_HANDLE_INVALID) decrypts
// a 128-byte `input` (else CKR_DATA_LEN_RANGE). A CKM_RSA_PKCS block that is
// not of type 2 gives CKR_ENCRYPTED_DATA_INVALID. Lengths as rsaEncrypt,
// except that the needed length is the message's once it is known.
abi::CK_RV rsaDecrypt(const abi::HostContext& host, const abi::LoginRecord* login, const abi::ObjectHandle& key,
                      const CipherMechanism& mechanism, std::span<const uint8_t> input, uint8_t* output,
                      abi::CK_ULONG* outputLength) noexcept;

}  // namespace korva::ciphers
