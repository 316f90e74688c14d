// File selection and the file control parameters (FCP) of the selected file.
// Every selection replaces context.fci; callers treat its fields as undefined
// after a non-zero result.
#pragma once

#include "card/card_context.h"

#include <array>
#include <cstdint>
#include <span>

namespace korva::card {

// Well-known paths from the master file.
inline constexpr std::array<uint8_t, 2> kPathApplication = {0xA1, 0xBC};
inline constexpr std::array<uint8_t, 4> kPathApplicationSubdirectory = {0xA1, 0xBC, 0x7F, 0x01};
inline constexpr std::array<uint8_t, 6> kPathCertificateDirectory = {0xA1, 0xBC, 0x7F, 0x01, 0x70, 0x01};
inline constexpr std::array<uint8_t, 2> kPathKeyDirectory = {0x05, 0x1F};
inline constexpr std::array<uint8_t, 2> kPathDataFileDirectory = {0x05, 0x1E};

inline constexpr uint16_t kMasterFile = 0x3F00;
inline constexpr std::size_t kLongestPath = 100;

// Identifiers F000-FFFE name key files; FFFF is reserved and never exists.
constexpr bool isKeyFileId(uint16_t fileId) noexcept { return (fileId & 0xF000) == 0xF000 && fileId != 0xFFFF; }

// Parses context.received() as an FCP template into context.fci (every field
// except keyReference is reset first). An empty answer leaves all fields
// absent and succeeds. Returns kOk, kUnexpected (malformed) or kMemory.
CardResult parseFcp(CardContext& context) noexcept;

// SELECT by identifier relative to the current directory. Returns kOk,
// kNotFound (also for FFFF, without an exchange), kUnexpected (refused or a
// malformed FCP) or kBadArgumentOrTransport.
CardResult selectFile(CardContext& context, uint16_t fileId) noexcept;

// SELECT by path from the master file (2 to 100 bytes, even length; else
// kBadArgumentOrTransport). Returns kOk even when the FCP is malformed (the parse result
// is left in context.lastResult), kNotFound, kUnexpected or kBadArgumentOrTransport.
CardResult selectPath(CardContext& context, std::span<const uint8_t> path) noexcept;

CardResult selectApplication(CardContext& context) noexcept;              // A1 BC
CardResult selectApplicationSubdirectory(CardContext& context) noexcept;  // A1 BC 7F 01
CardResult selectCertificateDirectory(CardContext& context) noexcept;     // A1 BC 7F 01 70 01
CardResult selectKeyDirectory(CardContext& context) noexcept;             // 05 1F
CardResult selectDataFileDirectory(CardContext& context) noexcept;        // 05 1E

}  // namespace korva::card
