// GOST 28147-89, the 64-bit block cipher with a 256-bit key, in the two
// forms the cryptographic library's own GOST cipher does not offer:
// electronic codebook over whole blocks (the ECB mechanism, key wrapping)
// and the 32-bit MAC of a 32-byte key (key wrapping).
//
// The card names the cipher's S-box set by a one-byte parameter code, the
// code kept in byte 0 of a GOST secret key's body file:
//   5  id-Gost28147-89-CryptoPro-A-ParamSet  (1.2.643.2.2.31.1)
//   6  id-Gost28147-89-CryptoPro-B-ParamSet  (1.2.643.2.2.31.2)
//   7  id-Gost28147-89-CryptoPro-C-ParamSet  (1.2.643.2.2.31.3)
//   8  id-Gost28147-89-CryptoPro-D-ParamSet  (1.2.643.2.2.31.4)
// Every other code is refused.
//
// Nothing is cached between calls: each call expands its S-box into lookup
// tables and its key into round keys on the stack, and wipes both before it
// returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::ciphers {

inline constexpr std::size_t kGostKeyBytes = 32;
inline constexpr std::size_t kGostBlockBytes = 8;
inline constexpr std::size_t kGostMacBytes = 4;
inline constexpr std::size_t kGostMacDataBytes = 32;

enum class GostDirection : uint8_t { kEncrypt, kDecrypt };

// True for the codes 5 to 8.
bool isGostParameterCode(uint8_t parameterCode) noexcept;

// The object identifier's name of a parameter code ("id-Gost28147-89-
// CryptoPro-A-ParamSet" ...), as the cryptographic library knows it; null
// for a code outside 5 to 8.
const char* gostParameterSetName(uint8_t parameterCode) noexcept;

// Ciphers input.size() / 8 whole blocks of `input` into `output`, each block
// on its own; a trailing partial block is ignored. `output` may be `input`
// itself, and must hold the whole blocks. Returns false, writing nothing,
// for an unknown parameter code or a short output.
bool gostEcb(uint8_t parameterCode, std::span<const uint8_t, kGostKeyBytes> key, std::span<const uint8_t> input,
             std::span<uint8_t> output, GostDirection direction) noexcept;

// The 32-bit MAC of 32 bytes of data under `key`, starting from the 8-byte
// initial value `iv` (empty: eight zero bytes). Returns false, writing
// nothing, for an unknown parameter code or an initial value of another
// length.
bool gostMac32(std::span<const uint8_t> iv, uint8_t parameterCode, std::span<const uint8_t, kGostKeyBytes> key,
               std::span<const uint8_t, kGostMacDataBytes> data, std::span<uint8_t, kGostMacBytes> mac) noexcept;

}  // namespace korva::ciphers
