// A virtual card prepared for key tests: both PINs verified, the key
// directory and the application directory at hand, and the module's own
// command forms for key files, key generation and the security environment.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {

inline std::string hexText(std::span<const uint8_t> bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (uint8_t byte : bytes) {
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
  }
  return out;
}

inline std::string hexByte(unsigned value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  return hexText(std::span(&byte, 1));
}

inline Bytes reversedBytes(std::span<const uint8_t> bytes) {
  return {bytes.rbegin(), bytes.rend()};
}

// A short command: header, Lc and data.
inline Bytes command(std::string_view header, std::span<const uint8_t> data) {
  Bytes out = hex(header);
  out.push_back(static_cast<uint8_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

class KeyCard : public ::testing::Test {
 protected:
  VirtualCard card = VirtualCard::makeFresh(testOptions());

  void loginUser() {
    expectOk(card, "00 A4 08 00 02 051F");
    expectOk(card, "00 20 00 07 08 " + std::string(userPinBlock));
  }

  // Both PINs, then A1 BC current: key files may be created there.
  void openApplication() {
    verifySoPin(card);
    loginUser();
    expectOk(card, "00 A4 08 00 02 A1BC");
  }

  // GOST generation, long form, as the module sends it for slot `slot`.
  Answer generateGost(uint8_t curveCode, uint8_t slot) {
    const bool wide = curveCode >= 9;
    const uint8_t p1 = static_cast<uint8_t>(curveCode | 0x10 | (wide ? 0x80 : 0));
    return send(card, "80 76 " + hexByte(p1) + hexByte(slot) + " 04 F0" + hexByte(slot) + " 0700");
  }

  Bytes readPublicKey(uint8_t reference) {
    const Answer answer = send(card, "00 46 01 " + hexByte(reference) + " 00");
    EXPECT_EQ(answer.statusWord(), 0x9000);
    return answer.data;
  }

  void setSigningKey(uint8_t reference) {
    expectOk(card, "00 22 F3 00");
    expectOk(card, "00 22 C1 B6 03 83 01 " + hexByte(reference));
  }

  // VERIFY DIGITAL SIGNATURE as the module builds it.
  Answer verifyOnCard(std::span<const uint8_t> hash, std::span<const uint8_t> signature) {
    Bytes data{0x9A, static_cast<uint8_t>(hash.size())};
    data.insert(data.end(), hash.begin(), hash.end());
    data.push_back(0x9E);
    if (signature.size() == 128) data.push_back(0x81);
    data.push_back(static_cast<uint8_t>(signature.size()));
    data.insert(data.end(), signature.begin(), signature.end());
    return send(card, command("00 2A 00 A8", data));
  }

  // Key file, first form (RSA) or second form (secret keys), at `fid`.
  void createRsaKeyFile(uint16_t fid, uint8_t reference) {
    expectOk(card, "00 E0 00 00 32 62 30 82 01 11 83 02 " +
                       hexText(Bytes{uint8_t(fid >> 8), uint8_t(fid)}) +
                       " 86 0A FFFF121212FFFF001212 8A 01 05 A5 18 85 01 22 86 01 88 87 01 " +
                       hexByte(reference) + " 88 01 " + hexByte(reference) +
                       " 8F 01 08 8E 01 02 89 01 00 8B 01 01");
  }
  void createSecretKeyFile(uint16_t fid, uint8_t reference, uint8_t algorithm, uint8_t variant) {
    expectOk(card, "00 E0 00 00 2D 62 2B 82 01 11 83 02 " +
                       hexText(Bytes{uint8_t(fid >> 8), uint8_t(fid)}) +
                       " 86 08 FFFF121212FFFFFF 8A 01 05 A5 15 85 01 " + hexByte(algorithm) +
                       " 86 01 08 87 01 " + hexByte(reference) + " 88 01 " + hexByte(reference) +
                       " 89 01 01 8F 01 " + hexByte(variant) + " 8E 01 00");
  }
};

}  // namespace korva::sim::testing
