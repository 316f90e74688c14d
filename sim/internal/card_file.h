// The card file: the virtual card's persistent state (options, identity,
// file tree with bodies, records, data objects, PIN values and counters) in
// a versioned binary format of its own, sealed with a SHA-256 checksum.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "sim/internal/card_state.h"

namespace korva::sim {

inline constexpr uint16_t cardFileVersion = 1;

std::vector<uint8_t> serialiseCard(const CardState& card);
// The state of a card just inserted (security state clear, master file
// current). Throws std::runtime_error on anything that is not a sound card
// file of a known version.
CardState parseCardFile(std::span<const uint8_t> bytes);

std::vector<uint8_t> readCardFile(const std::filesystem::path& path);
// Temporary file in the same directory, fsync, rename over `path`.
void writeCardFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace korva::sim
