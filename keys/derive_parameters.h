// The parameter of the GOST key-agreement mechanisms: the peer's public key
// and the user keying material (UKM), given either through pointers (the
// CK_GOSTR3410_DERIVE_PARAMS record) or inline in the parameter itself:
//
//   kdf (32-bit) | L (32-bit) | L bytes of public key | U (32-bit) | U bytes of UKM
//
// The two are told apart by the parameter's length: exactly the size of
// the pointer record (20 bytes on a 32-bit host, 40 on a 64-bit one), or
// at least 84 bytes inline (the shortest inline parameter: a 64-byte key
// and an 8-byte UKM). Numbers are in the host's byte order. The key
// derivation function field is read past: the card's agreed key is the
// key value.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::keys {

inline constexpr std::size_t kShortestInlineDeriveParameter = 84;

struct DeriveInputs {
    std::span<const uint8_t> peerPublicKey;  // X then Y, each little-endian: 64 or 128 bytes
    std::span<const uint8_t> ukm;            // 8 to 32 bytes; exactly 8 for CKM_GOSTR3410_DERIVE
};

// CKR_OK, or CKR_MECHANISM_PARAM_INVALID for a null or empty parameter, a
// length of neither layout, null pointers, lengths the layout cannot hold
// and public keys or UKMs of sizes the mechanism does not take.
abi::CK_RV parseDeriveParameter(const abi::CK_MECHANISM& mechanism, DeriveInputs& inputs) noexcept;

}  // namespace korva::keys
