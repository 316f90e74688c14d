// GOST 28147-89 in 64-bit cipher feedback mode through the cryptographic
// library's GOST cipher "gost89": plain CFB with the S-box of the card's
// parameter code and without key meshing (the library re-keys every 1024
// bytes unless told not to, which the card and other peers do not).
#pragma once

#include "ciphers/gost28147.h"

#include <cstdint>
#include <span>

namespace korva::ciphers {

// Ciphers all of `input` (any length) into `output`, which must be as long
// and may be `input` itself. Returns false for an unknown parameter code, a
// short output, a missing GOST cipher or any failure of the library.
bool gostCfb(uint8_t parameterCode, std::span<const uint8_t, kGostKeyBytes> key,
             std::span<const uint8_t, kGostBlockBytes> iv, std::span<const uint8_t> input, std::span<uint8_t> output,
             GostDirection direction) noexcept;

}  // namespace korva::ciphers
