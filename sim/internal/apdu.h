// Command APDUs as the virtual card receives them, and the answers it gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/virtual_card.h"

namespace korva::sim {

// Status words the card answers with (ISO 7816-4 meanings).
namespace sw {
inline constexpr uint16_t ok = 0x9000;
inline constexpr uint16_t moreData = 0x6100;      // + bytes still available
inline constexpr uint16_t pinIncorrect = 0x63C0;  // + tries left
inline constexpr uint16_t wrongLength = 0x6700;
inline constexpr uint16_t chainLastExpected = 0x6883;
inline constexpr uint16_t incompatibleFile = 0x6981;
inline constexpr uint16_t securityNotSatisfied = 0x6982;
inline constexpr uint16_t authenticationBlocked = 0x6983;
inline constexpr uint16_t referenceNotUsable = 0x6984;
inline constexpr uint16_t conditionsNotSatisfied = 0x6985;
inline constexpr uint16_t noCurrentEf = 0x6986;
inline constexpr uint16_t wrongData = 0x6A80;
inline constexpr uint16_t notSupported = 0x6A81;
inline constexpr uint16_t fileNotFound = 0x6A82;
inline constexpr uint16_t recordNotFound = 0x6A83;
inline constexpr uint16_t noMemory = 0x6A84;
inline constexpr uint16_t wrongP1P2 = 0x6A86;
inline constexpr uint16_t lcInconsistent = 0x6A87;
inline constexpr uint16_t referenceNotFound = 0x6A88;
inline constexpr uint16_t fileExists = 0x6A89;
inline constexpr uint16_t wrongOffset = 0x6B00;
inline constexpr uint16_t wrongLe = 0x6C00;  // + the right length
inline constexpr uint16_t insNotSupported = 0x6D00;
inline constexpr uint16_t claNotSupported = 0x6E00;
}  // namespace sw

// The largest number of data bytes one answer carries.
inline constexpr std::size_t maxAnswerData = 256;

// One parsed command. `le` is the expected answer length Ne (1..65536) when
// the command carries an Le field; short Le 00 means 256.
struct Command {
  uint8_t cla = 0;
  uint8_t ins = 0;
  uint8_t p1 = 0;
  uint8_t p2 = 0;
  std::vector<uint8_t> data;
  std::optional<std::size_t> le;
};

// Splits a short or extended command APDU into its fields; nullopt when the
// length bytes do not match the APDU's length.
std::optional<Command> parseCommand(std::span<const uint8_t> apdu);

Answer statusOnly(uint16_t statusWord);
Answer dataAnswer(std::vector<uint8_t> data, uint16_t statusWord = sw::ok);
// Answers `data` (at most 256 bytes) to a command whose Le asks for exactly
// that many bytes, or for "up to 256" (Le 00); any other Le, or none, gets
// 6C xx with the right length.
Answer answerExactly(const Command& command, std::vector<uint8_t> data);

}  // namespace korva::sim
