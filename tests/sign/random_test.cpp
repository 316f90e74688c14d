#include "sign/random.h"
#include "tests/token/rule_card.h"

#include <gtest/gtest.h>

#include <vector>

namespace korva::sign {
namespace {

using namespace korva::abi;
using Bytes = std::vector<uint8_t>;

const Bytes kGetChallenge{0x00, 0x84, 0x00, 0x00, 0x08};

Bytes challenge(uint8_t first) {
    Bytes out(8);
    for (uint8_t i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(first + i);
    return out;
}

TEST(Random, OneByteTakesOneChallengeAndUsesItsFirstByte) {
    testing::RuleCard card;
    card.on(kGetChallenge, {challenge(0x10)});
    uint8_t out = 0;
    EXPECT_EQ(generateRandom(card.host(), &out, 1), CKR_OK);
    EXPECT_EQ(out, 0x10);
    ASSERT_EQ(card.sent().size(), 1u);
    EXPECT_EQ(card.sent()[0].command, kGetChallenge);
}

TEST(Random, SeventeenBytesTakeThreeChallenges) {
    testing::RuleCard card;
    card.on(kGetChallenge, {challenge(0x10)}, 1)
        .on(kGetChallenge, {challenge(0x20)}, 1)
        .on(kGetChallenge, {challenge(0x30)}, 1);
    Bytes out(17);
    EXPECT_EQ(generateRandom(card.host(), out.data(), 17), CKR_OK);
    Bytes expected = challenge(0x10);
    const Bytes second = challenge(0x20);
    expected.insert(expected.end(), second.begin(), second.end());
    expected.push_back(0x30);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(card.sent().size(), 3u);
}

TEST(Random, ShortAnswersAndErrorsFailKeepingWhatWasDrawn) {
    testing::RuleCard card;
    card.on(kGetChallenge, {challenge(0x10)}, 1).on(kGetChallenge, {Bytes{1, 2, 3, 4}});
    Bytes out(12, 0);
    EXPECT_EQ(generateRandom(card.host(), out.data(), 12), CKR_FUNCTION_FAILED);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), challenge(0x10));

    testing::RuleCard refusing;
    refusing.on(kGetChallenge, {{}, 0x6985});
    EXPECT_EQ(generateRandom(refusing.host(), out.data(), 1), CKR_FUNCTION_FAILED);
}

TEST(Random, NoBufferOrNoLengthIsRefusedWithoutTheCard) {
    testing::RuleCard card;
    uint8_t out = 0;
    EXPECT_EQ(generateRandom(card.host(), nullptr, 8), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(generateRandom(card.host(), &out, 0), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(card.sent().empty());
}

}  // namespace
}  // namespace korva::sign
