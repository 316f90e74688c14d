// RSA key pairs made in software, for keys whose private half must stay
// readable for decryption: the module keeps the private exponent in a file
// beside the card's key object.
#pragma once

#include "common/wiped_bytes.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::ciphers {

inline constexpr std::size_t kRsaModulusBytes = 128;

// The parts of a 1024-bit key the card is loaded with, big-endian and
// exactly 128 bytes each; both buffers are wiped when released.
struct SoftwareRsaKey {
    WipedBytes modulus;
    WipedBytes privateExponent;
};

// Generates a 1024-bit key with public exponent `exponent` (3, 17 or
// 65537). Returns false when OpenSSL fails or memory runs out.
bool generateSoftwareRsaKey(uint32_t exponent, SoftwareRsaKey& key) noexcept;

// The raw RSA operation block^exponent mod modulus, all big-endian; the
// block must be as long as the modulus and below it, and `out` as long as
// the modulus. A `secret` exponent is used in constant time. Returns false
// for a block not below the modulus or any failure.
bool rsaRawOperation(std::span<const uint8_t> modulus, std::span<const uint8_t> exponent, bool secret,
                     std::span<const uint8_t> block, std::span<uint8_t> out) noexcept;

}  // namespace korva::ciphers
