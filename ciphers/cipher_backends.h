// The cipher back ends behind the encryption and decryption slots, and
// cipherWithBackend, which picks one for a mechanism and a key:
//
//   triple DES in software  the DES3 mechanisms with a three-key token key
//                           (body 63 nn, 24 bytes) or a session key
//   the card                DES, AES, and triple DES with a two-key token key
//                           (key reference 0x50 + n)
//   GOST 28147-89 ECB       the module's own cipher, key from body 63 nn
//   GOST 28147-89 CFB       the GOST engine, key from body 63 nn
//
// (RSA has back ends of its own, rsa_cipher.h.) Every back end ciphers whole
// blocks (CFB: any length) and no back end changes the card. PKCS#7 padding
// is cipherWithBackend's: added to the data before a back end sees it, checked and
// removed after.
#pragma once

#include "ciphers/cipher_key.h"
#include "ciphers/cipher_mechanisms.h"

#include "common/wiped_bytes.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>
#include <optional>
#include <span>

namespace korva::ciphers {

struct CipherRequest {
    const abi::LoginRecord* login;  // for the login step before a key is used
    abi::ObjectHandle key;
    const CipherMechanism* mechanism;
    std::span<const uint8_t> chainingValue;  // empty for the mechanisms without one
    std::span<const uint8_t> input;
    bool isFinal;  // padding: added when encrypting, removed when decrypting
    CipherDirection direction;
};

// Runs the back end of the request's mechanism and key over the input.
// Returns CKR_OK with `output`; CKR_ENCRYPTED_DATA_INVALID for bad padding
// on a final decryption; CKR_KEY_TYPE_INCONSISTENT for a session key with a
// mechanism other than the triple-DES ones; CKR_OBJECT_HANDLE_INVALID when
// the key's record is free; CKR_FUNCTION_FAILED for every card, transport
// or library failure and for data the back end cannot take.
abi::CK_RV cipherWithBackend(const abi::HostContext& host, const CipherRequest& request, WipedBytes& output) noexcept;

// PKCS#7 padding of the last block: `data` grows to the next whole block
// (a whole block of value `block` when it is already aligned).
void addPadding(WipedBytes& data, std::size_t block);

// The length of `data` without its padding, or nothing when the padding is
// not there: a last byte v of 0 or above the block size (or the data), or
// any of the last v bytes different from v.
std::optional<std::size_t> unpaddedLength(std::span<const uint8_t> data, std::size_t block) noexcept;

namespace detail {

// The card back end for DES, AES and two-key triple DES: SET CIPHER
// ENVIRONMENT with key reference 0x50 + n, then ENCIPHER or DECIPHER in
// pieces of 224 bytes chained with CLA 10. `unpaddedLength` is how much of
// `data` the caller gave (the rest is padding, which travels with the last
// piece). Every piece must come back exactly as long as it went.
abi::CK_RV cardCipher(CardContext& context, const CipherRequest& request, std::span<const uint8_t> data,
                      std::size_t unpaddedLength, WipedBytes& output);

// GOST 28147-89 with the key of body 63 nn: parameter code, then the key.
abi::CK_RV gostCipher(CardContext& context, const CipherRequest& request, std::span<const uint8_t> data,
                      WipedBytes& output);

}  // namespace detail

}  // namespace korva::ciphers
