#include "token/token_info.h"

#include "tests/card/fake_card.h"

#include <gtest/gtest.h>

#include <string>

namespace korva::token {
namespace {

using testing::Bytes;
using testing::concat;
using testing::FakeCard;

const Bytes kIdentity = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

Bytes fcp(uint16_t fileId, uint8_t lifeCycle, Bytes extra = {}) {
    Bytes body = concat({{0x82, 0x01, 0x01, 0x83, 0x02, static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId),
                          0x8A, 0x01, lifeCycle},
                         extra});
    return concat({{0x62, static_cast<uint8_t>(body.size())}, body});
}

Bytes sized(uint8_t size) { return {0x80, 0x01, size}; }

// Everything up to and including the selection of A1 BC 7F 01.
void scriptUpToSubdirectory(FakeCard& card, uint16_t soTries, uint16_t userTries, uint16_t subdirectorySw,
                            Bytes subdirectory = {}) {
    card.answer(0x6120).answer(0x6118, kIdentity).ok().ok().answer(soTries).answer(userTries);
    card.answer(subdirectorySw, std::move(subdirectory));
}

Bytes labelFile(const std::string& label) {
    Bytes string = concat({{0x0C, static_cast<uint8_t>(label.size())}, Bytes(label.begin(), label.end())});
    Bytes tagged = concat({{0xA0, static_cast<uint8_t>(string.size())}, string});
    Bytes inner = concat({{0x02, 0x01, 0x00}, tagged});
    return concat({{0x30, static_cast<uint8_t>(inner.size())}, inner});
}

std::string text(const abi::CK_UTF8CHAR* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), size);
}

struct Query {
    abi::CK_RV rv;
    abi::CK_TOKEN_INFO info;
};

Query query(FakeCard& card, Bytes settingsBytes = Bytes(17, 0)) {
    abi::HostByteVector settings{{}, settingsBytes.data(), settingsBytes.data() + settingsBytes.size(), nullptr};
    Query q{};
    q.rv = getTokenInfo(card.host(), &settings, &q.info);
    return q;
}

TEST(TokenInfo, FreshCardIsReportedUninitialisedWithPinState) {
    FakeCard card;
    scriptUpToSubdirectory(card, 0x6983, 0x63C1, 0x6A82);
    const Query q = query(card);
    ASSERT_EQ(q.rv, abi::CKR_OK);
    EXPECT_EQ(q.info.flags, 0x5u | abi::CKF_SO_PIN_LOCKED | abi::CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(text(q.info.label, 32), std::string(32, ' '));
    EXPECT_EQ(text(q.info.manufacturerID, 32), "LUMO" + std::string(28, ' '));
    EXPECT_EQ(text(q.info.model, 16), "VELTARTokenKORVA");
    EXPECT_EQ(text(q.info.serialNumber, 16), "0123456789ABCDEF");
    EXPECT_EQ(q.info.ulFreePublicMemory, 0xFFFFFFFFu);
    EXPECT_EQ(q.info.ulTotalPrivateMemory, 0x12000u);
    EXPECT_EQ(q.info.ulMaxPinLen, 8u);
    EXPECT_EQ(q.info.ulMinPinLen, 4u);
    EXPECT_EQ(card.command(0), (Bytes{0x80, 0xFE, 0x06, 0x00}));
    EXPECT_EQ(card.sent()[0].flag, 0u);
    EXPECT_EQ(card.command(1), (Bytes{0x00, 0xC0, 0x00, 0x00, 0x08}));
}

TEST(TokenInfo, InitialisedTokenWithLabelFreeMemoryAndDefaultPin) {
    FakeCard card;
    const Bytes label = labelFile("Accounts");
    scriptUpToSubdirectory(card, 0x63CA, 0x9000, 0x9000, fcp(0x7F01, 0x05, {0xA5, 0x04, 0x82, 0x02, 0x9F, 0x00}));
    card.ok(fcp(0x5032, 0x05, sized(static_cast<uint8_t>(label.size())))).ok(label);
    card.ok(fcp(0x70FE, 0x05, sized(100))).ok({0x01});
    Bytes settings(17, 0);
    settings[16] = 0x02;
    const Query q = query(card, settings);
    ASSERT_EQ(q.rv, abi::CKR_OK);
    EXPECT_EQ(text(q.info.label, 32), "Accounts" + std::string(24, ' '));
    EXPECT_EQ(q.info.flags, 0x40Du | abi::CKF_USER_PIN_TO_BE_CHANGED);
    EXPECT_EQ(q.info.ulFreePrivateMemory, 0x9F00u);
    EXPECT_EQ(card.unanswered(), 0u);
}

TEST(TokenInfo, DamagedSubdirectoryOrLabelFileIsNotRecognised) {
    const Bytes operational = fcp(0x7F01, 0x05);
    struct Case {
        const char* name;
        Bytes labelFcp;
        Bytes content;
    };
    const Bytes longString = labelFile(std::string(40, 'x'));
    Bytes lying = labelFile("Accounts");
    lying[1] = 0x7F;  // the sequence claims more than the file holds
    Bytes lyingInside = labelFile("Accounts");
    lyingInside[6] = 0x40;  // the label string runs past its [0]
    Bytes notASequence = labelFile("Accounts");
    notASequence[0] = 0x31;
    for (const Case& c :
         {Case{"40-byte label", fcp(0x5032, 5, sized(static_cast<uint8_t>(longString.size()))), longString},
          Case{"outer length", fcp(0x5032, 5, sized(static_cast<uint8_t>(lying.size()))), lying},
          Case{"inner length", fcp(0x5032, 5, sized(static_cast<uint8_t>(lyingInside.size()))), lyingInside},
          Case{"not a sequence", fcp(0x5032, 5, sized(static_cast<uint8_t>(notASequence.size()))), notASequence},
          Case{"oversized file", fcp(0x5032, 5, {0x80, 0x01, 0x81}), {}}, Case{"size unknown", fcp(0x5032, 5), {}}}) {
        FakeCard card;
        scriptUpToSubdirectory(card, 0x63CA, 0x63CA, 0x9000, operational);
        card.ok(c.labelFcp);
        if (!c.content.empty()) card.ok(c.content);
        EXPECT_EQ(query(card).rv, abi::CKR_TOKEN_NOT_RECOGNIZED) << c.name;
        EXPECT_EQ(card.unanswered(), 0u) << c.name;
    }

    FakeCard noLifeCycle;
    scriptUpToSubdirectory(noLifeCycle, 0x63CA, 0x63CA, 0x9000, {0x62, 0x03, 0x82, 0x01, 0x38});
    EXPECT_EQ(query(noLifeCycle).rv, abi::CKR_TOKEN_NOT_RECOGNIZED);
    FakeCard noIdentity;
    noIdentity.answer(0x6D00);
    EXPECT_EQ(query(noIdentity).rv, abi::CKR_TOKEN_NOT_RECOGNIZED);
}

TEST(TokenInfo, PartlyBuiltTokenIsUninitialised) {
    FakeCard card;
    scriptUpToSubdirectory(card, 0x63CA, 0x63CA, 0x9000, fcp(0x7F01, 0x03));
    const Query q = query(card);
    ASSERT_EQ(q.rv, abi::CKR_OK);
    EXPECT_EQ(q.info.flags, 0x5u);
}

}  // namespace
}  // namespace korva::token
