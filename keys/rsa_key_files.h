// The body files of an RSA key pair kept in the application subdirectory,
// numbered after the public key's record n: the card key object 61 nn (key
// reference 0x60 + n) and, when the private key may decrypt, the 128-byte
// private exponent in E1 nn. Key-pair generation and PKCS#12 import both
// make and fill them here.
#pragma once

#include "card/card_context.h"

#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>

namespace korva::keys {

struct RsaKeyFiles {
    uint16_t keyObject;
    uint16_t privateExponent;
    uint8_t keyReference;
};

RsaKeyFiles rsaKeyFilesOf(uint8_t publicRecord) noexcept;

// With the application subdirectory current: removes earlier files of the
// same number and creates the key object and, when `mayDecrypt`, the
// private exponent's file. An old file the card will not delete without the
// user PIN is CKR_USER_NOT_LOGGED_IN; no room CKR_DEVICE_MEMORY; anything
// else CKR_FUNCTION_FAILED.
abi::CK_RV createRsaKeyFiles(CardContext& context, const RsaKeyFiles& files, bool mayDecrypt) noexcept;

// Loads a whole key into the key object: the public exponent (at most 8
// bytes, big-endian), the 128-byte modulus and the 128-byte private
// exponent, which also goes into its own file when `mayDecrypt` (the file
// must exist). Right after createRsaKeyFiles that file is the current one,
// as its creation left it (kCurrent); later loads select it (kSelect).
enum class ExponentFile : uint8_t { kSelect, kCurrent };
CardResult loadRsaKey(CardContext& context, const RsaKeyFiles& files, bool mayDecrypt,
                      std::span<const uint8_t> publicExponent, std::span<const uint8_t> modulus,
                      std::span<const uint8_t> privateExponent, ExponentFile exponentFile) noexcept;

// Removes both files, whichever exist; failures are ignored (the caller is
// already reporting its own).
void deleteRsaKeyFiles(CardContext& context, const RsaKeyFiles& files) noexcept;

}  // namespace korva::keys
