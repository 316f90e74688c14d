// The elliptic curves of GOST R 34.10-2001 and GOST R 34.10-2012 that the card
// knows, named by the one-byte parameter-set code its commands carry.
#pragma once

#include "sim/crypto/big_number.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::sim::crypto {

struct GostCurveParameters {
    uint8_t code;      // the card's parameter-set code
    std::size_t size;  // bytes of a coordinate, of the order, of each signature half: 32 or 64
    const char* name;  // the published parameter set, for diagnostics
    const char* p;     // prime of the field, hexadecimal
    const char* a;     // y^2 = x^3 + a x + b
    const char* b;
    const char* q;  // order of the base point
    unsigned cofactor;
    const char* x;  // base point
    const char* y;
};

// Codes 1 to 4 name the curves of GOST R 34.10-2001; the others exist only
// in GOST R 34.10-2012.
constexpr bool isGost2001Curve(uint8_t code) noexcept { return code >= 1 && code <= 4; }

// Every curve of the card, in code order.
std::span<const GostCurveParameters> gostCurves() noexcept;

// The curve of a parameter-set code, or null for a code the card does not know.
const GostCurveParameters* findGostCurve(uint8_t code) noexcept;

// The curve as an OpenSSL group with its generator, order and cofactor; null
// on failure.
EcGroup buildGostCurve(const GostCurveParameters& curve);

}  // namespace korva::sim::crypto
