// The three GOST signature profiles of requests and messages: the key
// algorithm, the digest that goes with it and the signature algorithm that
// names both.
#pragma once

#include <cstddef>

namespace korva::messages {

struct GostProfile {
    int keyNid;              // gost2001, gost2012_256, gost2012_512
    const char* digestName;  // the engine's digest
    std::size_t hashLength;  // the signature is twice as long
    int signatureNid;        // digest with GOST R 34.10 signature
    int digestParameterNid;  // named in a 256-bit key's parameters; NID_undef for 512-bit keys
};

extern const GostProfile kGost2001Profile;
extern const GostProfile kGost2012_256Profile;
extern const GostProfile kGost2012_512Profile;

// The profile of a key algorithm, or null when it is not a GOST one.
const GostProfile* gostProfileOf(int keyNid) noexcept;

}  // namespace korva::messages
