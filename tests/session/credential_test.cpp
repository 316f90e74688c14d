#include "session/credential.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace korva::token {
namespace {

std::vector<uint8_t> derive(std::string_view pin) {
    const auto block = PinBlock::fromPin(std::span(reinterpret_cast<const uint8_t*>(pin.data()), pin.size()));
    Credential credential;
    EXPECT_TRUE(deriveCredential(*block, credential));
    return {credential.bytes.begin(), credential.bytes.end()};
}

// Expected values computed outside the module with a stand-alone PBKDF2
// (HMAC-SHA1, 4096 iterations, 24 bytes): password = the PIN block, salt =
// each block byte complemented, XOR the salt constant 3A C5 17 9E 62 D0 4B
// F8, XOR 04. For "87654321" the salt is F9 09 DA 50 AD 18 82 32; for "1234"
// (block 31 32 33 34 FF FF FF FF) it is F0 0C DF 51 66 D4 4F FC.
TEST(Credential, MatchesIndependentlyComputedValues) {
    EXPECT_EQ(derive("87654321"),
              (std::vector<uint8_t>{0x01, 0xBA, 0xDD, 0xA4, 0xFF, 0x0F, 0xD3, 0x95, 0x0A, 0x80, 0x60, 0xDB,
                                    0x0D, 0x2F, 0x23, 0x1F, 0xA0, 0xA4, 0x78, 0x84, 0x24, 0xBB, 0xF4, 0x3B}));
    EXPECT_EQ(derive("1234"),
              (std::vector<uint8_t>{0xD0, 0xCD, 0x33, 0xD4, 0x15, 0x0C, 0xC8, 0x01, 0x30, 0xE6, 0x3A, 0x97,
                                    0x61, 0x42, 0x64, 0x35, 0x6A, 0x91, 0x30, 0x10, 0xB3, 0x69, 0x30, 0xFE}));
}

}  // namespace
}  // namespace korva::token
