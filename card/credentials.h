// Reference data and key loading: RESET RETRY COUNTER, CHANGE REFERENCE DATA
// used to set PINs, credentials and key material, RESET SECURITY STATE.
// VERIFY and the PIN change itself live in the token layer.
#pragma once

#include "card/card_context.h"

#include <cstdint>
#include <span>

namespace korva::card {

// 00 2C 03 07: resets the user PIN's retry counter. kOk, kUnexpected or
// kBadArgumentOrTransport.
CardResult resetRetryCounter(CardContext& context) noexcept;

// 00 24 01 P2 Lc data for 1-255 bytes of reference data (else kBadArgumentOrTransport);
// the command buffer is wiped afterwards. kOk, kUnexpected or
// kBadArgumentOrTransport.
CardResult setReferenceData(CardContext& context, uint8_t p2, std::span<const uint8_t> data) noexcept;

// One key-material command through the chained sender: CLA 10 when more
// parts follow, CLA 00 for the last. `data` is 1-255 bytes (else
// kBadArgumentOrTransport). kOk on 90 00, kBadArgumentOrTransport, else kUnexpected.
CardResult loadKeyMaterial(CardContext& context, uint8_t p2, std::span<const uint8_t> data, bool moreFollow) noexcept;

// Single form: `prefix`, a big-endian number of at most 8 bytes sent as 8
// bytes with zeros in front (an RSA public exponent, or nothing for a
// secret key), then `key` (at most 247 bytes), in one command with CLA 00.
CardResult loadKey(CardContext& context, uint8_t p2, std::span<const uint8_t> prefix,
                   std::span<const uint8_t> key) noexcept;

// Two-part form for an RSA key: first the public `exponent` (at most 8
// bytes, big-endian, so it becomes an 8-byte number with zeros in front) and
// the 128-byte modulus with CLA 10, then the 128-byte private exponent with
// CLA 00, both with the same P2. The command buffer is wiped after each.
inline constexpr std::size_t kRsaHalf = 128;
CardResult loadKeyPair(CardContext& context, uint8_t p2, std::span<const uint8_t> exponent,
                       std::span<const uint8_t> modulus, std::span<const uint8_t> privateExponent) noexcept;

// 80 52 00 00: the card forgets every verified PIN.
CardResult resetSecurityState(CardContext& context) noexcept;

}  // namespace korva::card
