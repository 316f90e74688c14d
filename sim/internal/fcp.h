// File control parameters: the CREATE FILE template the card accepts and
// the FCP template it answers to SELECT.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "sim/internal/file_system.h"

namespace korva::sim {

// Tag 82: a descriptor byte the card knows, a data-coding byte, and for a
// linear fixed file the record length (not 0) as third byte.
bool isValidDescriptorField(std::span<const uint8_t> value);
bool isKnownLifeCycle(uint8_t lifeCycle);

inline constexpr std::size_t maxNameLength = 16;
inline constexpr std::size_t maxSecurityAttributes = 32;
inline constexpr std::size_t maxProprietaryLength = 64;

// Reads a CREATE FILE data field (62 L followed by the FCP tags) into a new
// file node with an empty body; on a malformed or unsupported template the
// status word to answer.
std::variant<FileNode, uint16_t> parseCreationTemplate(std::span<const uint8_t> data);

// The FCP answer for `node`. Directories carry the card's free memory in
// A5/82; key files carry their key attribute bytes in A5.
std::vector<uint8_t> buildFcp(const FileNode& node, uint32_t freeMemory);

}  // namespace korva::sim
