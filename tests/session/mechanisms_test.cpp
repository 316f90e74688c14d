#include "session/mechanisms.h"

#include "tests/card/fake_card.h"

#include <gtest/gtest.h>

#include <vector>

namespace korva::token {
namespace {

using testing::Bytes;
using testing::FakeCard;

// The capability answer: 31 bytes, byte 29 = 1 on a 2001-only card.
Bytes capability(std::size_t length, uint8_t byte29) {
    Bytes answer(length, 0x00);
    if (length > 29) answer[29] = byte29;
    return answer;
}

std::size_t activeRowsFor(FakeCard& card) {
    CardContext context(card.host());
    return activeMechanisms(context).size();
}

TEST(Capability, OnlyAFullAnswerWithoutThe2001MarkGivesAllRows) {
    FakeCard full;
    full.ok(capability(31, 0));
    EXPECT_EQ(activeRowsFor(full), 36u);
    EXPECT_EQ(full.command(0), (Bytes{0x80, 0xFE, 0x00, 0x00, 0x00}));
    EXPECT_EQ(full.sent()[0].flag, 1u);

    FakeCard only2001;
    only2001.ok(capability(31, 1));
    EXPECT_EQ(activeRowsFor(only2001), 29u);
    FakeCard shortAnswer;
    shortAnswer.ok(capability(30, 0));
    EXPECT_EQ(activeRowsFor(shortAnswer), 29u);
    FakeCard refused;
    refused.answer(0x6D00, capability(31, 0));
    EXPECT_EQ(activeRowsFor(refused), 29u);
    FakeCard broken;
    broken.failTransport(0x1234);
    EXPECT_EQ(activeRowsFor(broken), 29u);
}

TEST(MechanismList, LengthQueryAndShortBuffer) {
    FakeCard card;
    card.ok(capability(31, 1)).ok(capability(31, 1)).ok(capability(31, 1));
    uint32_t count = 0;
    EXPECT_EQ(getMechanismList(card.host(), nullptr, &count), abi::CKR_OK);
    EXPECT_EQ(count, 29u);
    std::vector<abi::CK_MECHANISM_TYPE> list(29, 0xEEEEEEEE);
    count = 28;
    EXPECT_EQ(getMechanismList(card.host(), list.data(), &count), abi::CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 29u);
    EXPECT_EQ(list[0], 0xEEEEEEEEu);
    EXPECT_EQ(getMechanismList(card.host(), list.data(), &count), abi::CKR_OK);
    EXPECT_EQ(list.front(), abi::CKM_GOST28147);
    EXPECT_EQ(list.back(), abi::CKM_GOST28147_KEY_WRAP);
}

TEST(MechanismInfo, A2012MechanismExistsOnlyOnA2012Card) {
    FakeCard old;
    old.ok(capability(31, 1));
    abi::CK_MECHANISM_INFO info{1, 1, 1};
    EXPECT_EQ(getMechanismInfo(old.host(), 0xD4321008, &info), abi::CKR_MECHANISM_INVALID);

    FakeCard current;
    current.ok(capability(31, 0)).ok(capability(31, 0));
    EXPECT_EQ(getMechanismInfo(current.host(), 0xD4321008, &info), abi::CKR_OK);
    EXPECT_EQ(info.ulMinKeySize, 0u);
    EXPECT_EQ(info.ulMaxKeySize, 0u);
    EXPECT_EQ(info.flags, 0x2801u);
    EXPECT_EQ(getMechanismInfo(current.host(), abi::CKM_AES_KEY_GEN, nullptr), abi::CKR_ARGUMENTS_BAD);
}

TEST(ParameterSets, MapWholeEncodingsToCardCodes) {
    const Bytes cryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};     // 35.1
    const Bytes cryptoProXchA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00};  // 36.0
    const Bytes tc26_512A = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x01};
    const Bytes streebog256 = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    EXPECT_EQ(matchParameterSet(parameter_kind::kPublicKey, cryptoProA), 2);
    EXPECT_EQ(matchParameterSet(parameter_kind::kPublicKey, cryptoProXchA), 2);
    EXPECT_EQ(matchParameterSet(parameter_kind::kPublicKey, tc26_512A), 9);
    EXPECT_EQ(matchParameterSet(parameter_kind::kDigest, streebog256), 0);
    // The right identifier under the wrong kind, a truncated encoding, an
    // unknown kind: no code.
    EXPECT_FALSE(matchParameterSet(parameter_kind::kCipher, cryptoProA));
    EXPECT_FALSE(matchParameterSet(parameter_kind::kPublicKey, Bytes(cryptoProA.begin(), cryptoProA.end() - 1)));
    EXPECT_FALSE(matchParameterSet(2, cryptoProA));
    // Bytes after a complete encoding (a zero-padded record) do not matter.
    Bytes padded = cryptoProA;
    padded.resize(39, 0);
    uint8_t code = 0;
    EXPECT_TRUE(matchParameterSet(parameter_kind::kPublicKey, padded, &code));
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(matchParameterSet(parameter_kind::kPublicKey, padded, nullptr));
}

}  // namespace
}  // namespace korva::token
