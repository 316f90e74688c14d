// The card file: the virtual card's persistent state (options, identity,
// file tree with bodies, records, data objects, PIN wraps and counters) in
// a versioned binary format of its own, with a SHA-256 checksum. Secrets
// are in it only sealed (secrets.h); the first format held them in the clear
// and is still read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "sim/internal/card_state.h"

namespace korva::sim {

inline constexpr uint16_t cardFileVersion = 2;
inline constexpr uint16_t firstCardFileVersion = 1;  // PINs and keys in the clear

// Throws std::runtime_error when an open card cannot seal its secrets.
std::vector<uint8_t> serialiseCard(const CardState& card);
// The state of a card just inserted (security state clear, master file
// current, sealed). Throws std::runtime_error on anything that is not a
// sound card file of a known version. `version` receives the file's
// version: a card of the first format still holds its PIN values in the
// clear (as the secrets of its PIN objects) until sealPinValues().
CardState parseCardFile(std::span<const uint8_t> bytes, uint16_t* version = nullptr);

std::vector<uint8_t> readCardFile(const std::filesystem::path& path);
// Temporary file in the same directory, fsync, rename over `path`.
void writeCardFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace korva::sim
