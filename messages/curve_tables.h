// The GOST R 34.10 curves the card's keys live on, as constants: six
// 256-bit sets (the test set, CryptoPro A, B and C, and the two key-exchange
// sets, which repeat A and C under names of their own) and the two 512-bit
// TC26 sets. The card names a key's curve by a one-byte parameter-set code;
// the exchange sets are told apart from A and C only by the identifier the
// key's record carries.
#pragma once

#include "common/openssl_ptr.h"

#include <array>
#include <cstdint>
#include <span>

namespace korva::messages {

// One curve y^2 = x^3 + ax + b over the prime p, with the base point (x, y)
// of prime order q; the numbers as big-endian hexadecimal text.
struct CurveRow {
    int nid;  // OpenSSL's object for the published parameter set
    const char* a;
    const char* b;
    const char* p;
    const char* q;
    const char* x;
    const char* y;
};

// Test, A, B, C, XchA, XchB.
extern const std::array<CurveRow, 6> kCurves256;
// TC26 512-bit sets A and B.
extern const std::array<CurveRow, 2> kCurves512;

// Whether a key's parameter-set identifier (DER, tag and length included)
// names one of the two key-exchange sets.
bool namesExchangeSet(std::span<const uint8_t> derOid) noexcept;

// The curve of a key from the card's parameter-set code, the exchange flag
// and the key's width (512 bits or 256). Null for a code the card has no
// curve for here, for a 512-bit code with a 256-bit key and the other way
// round.
const CurveRow* curveForCode(uint8_t code, bool exchange, bool wide) noexcept;

// The curve as an OpenSSL group named by the row's object, or null when
// the numbers do not make a curve.
EcGroupPtr buildCurve(const CurveRow& row) noexcept;

// The GOST engine's "paramset" text that generates a key on the same curve
// as a card key with `code` and the exchange flag. Codes without a set of
// their own take "A".
const char* engineParamset(uint8_t code, bool exchange) noexcept;

}  // namespace korva::messages
