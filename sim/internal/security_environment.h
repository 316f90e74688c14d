// The current security environment: which keys MANAGE SECURITY ENVIRONMENT
// set for signing and for confidentiality, and the cipher mechanism and
// initial vector for the secret-key ciphers. Volatile: a reset or RESTORE
// clears it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/internal/file_system.h"

namespace korva::sim {

// Mechanism codes of SET CIPHER ENVIRONMENT (tag 8C).
inline constexpr uint8_t cipherModeEcb = 0x01;
inline constexpr uint8_t cipherModeCbc = 0x02;

struct SecurityEnvironment {
  std::optional<Location> signingKey;          // digital signature template (B6)
  std::optional<Location> confidentialityKey;  // confidentiality template (B8)
  std::optional<uint8_t> cipherMode;           // 8C
  std::vector<uint8_t> iv;                     // 87; zeros when not given
  // The chaining value carried from one enciphered or deciphered piece of a
  // CLA 10 chain to the next; empty at the start of a chain.
  std::vector<uint8_t> chainingValue;
};

}  // namespace korva::sim
