// Software hashing shared by the digest slots and the signing mechanisms
// that hash before they sign: one generic EVP digest step for OpenSSL's own
// digests and the two GOST hash functions, which ask the GOST engine for
// their digests directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::sign {

inline constexpr std::size_t kGost94Length = 32;

// Hashes `data` with the digest called `digestName` (OpenSSL's "SHA256",
// ..., or the GOST engine's "md_gost12_256", ..., taken from the engine) into
// `out`, which must
// hold at least the digest's size. Returns the number of bytes written, or 0
// when the digest is unknown, the buffer too small or a step fails.
std::size_t hashByName(const char* digestName, std::span<const uint8_t> data, std::span<uint8_t> out) noexcept;

// GOST R 34.11-94 with the CryptoPro parameter set. A non-empty `digestOid`
// (the DER encoding of the hash parameter-set identifier) is only validated:
// it must name a GOST digest parameter set, else the call fails. `out` takes
// 32 bytes. Returns false on any failure.
bool hashGost94(std::span<const uint8_t> data, std::span<const uint8_t> digestOid,
                std::span<uint8_t, kGost94Length> out) noexcept;

// GOST R 34.11-2012 with a 256- or 512-bit result; `out` must hold
// bits / 8 bytes. Returns false on any failure or another size.
bool hashGost2012(std::span<const uint8_t> data, unsigned bits, std::span<uint8_t> out) noexcept;

}  // namespace korva::sign
