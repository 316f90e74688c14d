// Writing APDUs in tests as the hex text of a card trace.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/virtual_card.h"

namespace korva::sim::testing {

using Bytes = std::vector<uint8_t>;

// "00 A4 08 00 04 A1BC 7F01": hex digits; blanks are ignored.
inline Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Answer send(VirtualCard& card, const Bytes& apdu) { return card.transmit(apdu); }
inline Answer send(VirtualCard& card, std::string_view apdu) { return card.transmit(hex(apdu)); }

// Sends and requires the status word, printing the command on failure.
inline Answer expectStatus(VirtualCard& card, const std::string& apdu, uint16_t statusWord) {
  const Answer answer = send(card, apdu);
  EXPECT_EQ(answer.statusWord(), statusWord) << "command " << apdu;
  return answer;
}
inline Answer expectOk(VirtualCard& card, const std::string& apdu) {
  return expectStatus(card, apdu, 0x9000);
}

// The factory PINs as VERIFY sends them (8 bytes; these need no padding).
inline constexpr std::string_view soPinBlock = "3837363534333231";    // "87654321"
inline constexpr std::string_view userPinBlock = "3132333435363738";  // "12345678"

// VERIFY the SO PIN from the PIN directory, as the module's login does; the
// master file is current afterwards.
inline void verifySoPin(VirtualCard& card) {
  expectOk(card, "00 A4 08 00 02 051F");
  expectOk(card, "00 20 00 05 08 " + std::string(soPinBlock));
  expectOk(card, "00 A4 00 00 02 3F00");
}

// A fixed identity and random sequence: tests see the same card every run.
// PIN derivations at the lowest cost keep the suite fast.
inline CardOptions testOptions() {
  CardOptions options;
  options.randomSeed = 7;
  options.pinKeyCost = 1;
  return options;
}

}  // namespace korva::sim::testing
