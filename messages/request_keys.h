// The public key of a certificate request, from what the card reads out.
#pragma once

#include "messages/curve_tables.h"
#include "messages/gost_profiles.h"

#include "common/openssl_ptr.h"

#include <cstdint>
#include <span>

namespace korva::messages {

// A GOST public key for `profile` on `curve`; `point` is X then Y, each
// little-endian (32 or 64 bytes each). The point must lie on the curve as
// the constants give it; the key object itself is the GOST engine's,
// decoded from the SubjectPublicKeyInfo that names the curve, so the
// request carries the engine's own encoding of it. Null on failure.
EvpPkeyPtr gostPublicKey(const GostProfile& profile, const CurveRow& curve, std::span<const uint8_t> point);

// An RSA public key from the big-endian modulus and exponent. Null on failure.
EvpPkeyPtr rsaPublicKey(std::span<const uint8_t> modulus, std::span<const uint8_t> exponent);

// An RSA key from its numbers; with `d` a key pair, without it a public key.
// Null on failure.
EvpPkeyPtr rsaKey(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d);

}  // namespace korva::messages
