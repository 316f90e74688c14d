#include "token/initialise.h"

#include "tests/token/rule_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace korva::token {
namespace {

using testing::RuleCard;
using Bytes = RuleCard::Bytes;

const Bytes kSoPin = {'8', '7', '6', '5', '4', '3', '2', '1'};
const Bytes kIdentity = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
const std::string kLabel = "Payroll token                   ";

Bytes fcp(uint8_t hi, uint8_t lo, uint8_t lifeCycle) {
    return {0x62, 0x0A, 0x82, 0x01, 0x38, 0x83, 0x02, hi, lo, 0x8A, 0x01, lifeCycle};
}

// A blank card as the initialisation sees it: master file and application
// directory operational, no subdirectory, no data file 1.
RuleCard blankCard() {
    RuleCard card;
    card.on({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {fcp(0x3F, 0x00, 0x05)})
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0xA1, 0xBC}, {fcp(0xA1, 0xBC, 0x05)})
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x7F, 0x01}, {{}, 0x6A82})
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x01, 0x01}, {{}, 0x6A82})
        .on({0x80, 0xFE, 0x06, 0x00}, {{}, 0x6120})
        .on({0x00, 0xC0, 0x00, 0x00, 0x08}, {kIdentity, 0x6118});
    return card;
}

InitParameters parameters(SettingsValues settings = kDefaultSettingsValues) {
    InitParameters p;
    p.soPin = kSoPin.data();
    p.soPinLength = static_cast<uint32_t>(kSoPin.size());
    p.label = reinterpret_cast<const uint8_t*>(kLabel.data());
    p.settings = settings;
    return p;
}

// The data of the UPDATE BINARY that follows the CREATE FILE of `fileId`.
Bytes writtenTo(const RuleCard& card, uint8_t hi, uint8_t lo) {
    const auto& sent = card.sent();
    for (std::size_t i = 0; i + 1 < sent.size(); ++i) {
        const Bytes& c = sent[i].command;
        const Bytes id = {0x83, 0x02, hi, lo};
        if (c.size() > 5 && c[1] == 0xE0 && std::search(c.begin(), c.end(), id.begin(), id.end()) != c.end() &&
            sent[i + 1].command[1] == 0xD6) {
            return Bytes(sent[i + 1].command.begin() + 5, sent[i + 1].command.end());
        }
    }
    return {};
}

TEST(InitToken, RefusesBadArgumentsWithoutTraffic) {
    auto refused = [](InitParameters p) {
        RuleCard card;
        const auto rv = initToken(card.host(), p);
        EXPECT_TRUE(card.sent().empty());
        return rv;
    };
    SettingsValues s = kDefaultSettingsValues;
    s[8] = 16;
    EXPECT_EQ(refused(parameters(s)), abi::CKR_ARGUMENTS_BAD);
    s = kDefaultSettingsValues;
    s[10] = 16;
    EXPECT_EQ(refused(parameters(s)), abi::CKR_ARGUMENTS_BAD);
    for (std::size_t i : {4u, 6u, 12u}) {
        s = kDefaultSettingsValues;
        s[i] = 0xFF;
        EXPECT_EQ(refused(parameters(s)), abi::CKR_ARGUMENTS_BAD) << i;
    }
    InitParameters p = parameters();
    p.soPinLength = 3;
    EXPECT_EQ(refused(p), abi::CKR_ARGUMENTS_BAD);
    p.soPinLength = 9;
    EXPECT_EQ(refused(p), abi::CKR_ARGUMENTS_BAD);
    p = parameters();
    p.soPin = nullptr;
    EXPECT_EQ(refused(p), abi::CKR_ARGUMENTS_BAD);
    p = parameters();
    p.label = nullptr;
    EXPECT_EQ(refused(p), abi::CKR_ARGUMENTS_BAD);
}

TEST(InitToken, BuildsTheFileSystemWithWellFormedCommands) {
    RuleCard card = blankCard();
    SettingsValues s = kDefaultSettingsValues;
    s[8] = 15;
    s[14] = 0x02;
    ASSERT_EQ(initToken(card.host(), parameters(s)), abi::CKR_OK);

    for (const RuleCard::Sent& sent : card.sent()) {
        const Bytes& c = sent.command;
        if (c.size() > 5) {
            EXPECT_EQ(c[4], c.size() - 5) << "Lc of command " << std::hex << int(c[1]);
        }
        if (c[1] == 0xE0) {
            EXPECT_EQ(c[6], c.size() - 7) << "FCP template length";
        }
    }
    // The SO PIN is verified first, in 05 1F, and the credential derived
    // from it stored with the raw exchange.
    EXPECT_EQ(card.commandsStartingWith({0x00, 0x20, 0x00, 0x05, 0x08}).size(), 1u);
    const auto credential = card.commandsStartingWith({0x00, 0x24, 0x01, 0x09, 0x18});
    ASSERT_EQ(credential.size(), 1u);
    EXPECT_EQ(Bytes(credential[0].begin() + 5, credential[0].begin() + 9), (Bytes{0x01, 0xBA, 0xDD, 0xA4}));
    EXPECT_EQ(card.commandsStartingWith({0x00, 0x24, 0x01, 0x07, 0x08, '4', '7', '1', '0', '2', '9', '5', '8'}).size(),
              1u);

    const Bytes tokenInfo = writtenTo(card, 0x50, 0x32);
    ASSERT_EQ(tokenInfo.size(), 61u);
    EXPECT_EQ(Bytes(tokenInfo.begin() + 7, tokenInfo.begin() + 15), kIdentity);
    EXPECT_EQ(std::string(tokenInfo.begin() + 25, tokenInfo.begin() + 57), kLabel);

    const Bytes settings = writtenTo(card, 0x50, 0xE1);
    ASSERT_EQ(settings.size(), 100u);
    EXPECT_EQ(Bytes(settings.begin(), settings.begin() + 17),
              (Bytes{2, 1, 1, 3, 3, 0, 3, 0, 3, 0, 15, 0, 3, 0, 3, 0, 2}));

    const Bytes counters = writtenTo(card, 0x70, 0xFE);
    ASSERT_EQ(counters.size(), 100u);
    Bytes expected(100, 0);
    expected[6] = 1;  // the store's change counter never starts where an old token's could have stood
    expected[8] = 1;
    expected[14] = 1;
    EXPECT_EQ(counters, expected);

    // 15 containers of 86 bytes plus one: 1291 = 05 0B.
    EXPECT_EQ(card.commandsStartingWith({0x00, 0xE0, 0x00, 0x00, 0x18, 0x62, 0x16, 0x80, 0x02, 0x05, 0x0B}).size(), 1u);
    EXPECT_EQ(card.sent().back().command[1], 0x74);  // the key slots are freed last
}

TEST(InitToken, RebuildKeepsAndAdvancesTheFreshnessCounters) {
    struct Row {
        Bytes previous;  // the old counters file's first 8 bytes
        Bytes written;   // the new one's first 9
    };
    const Row rows[] = {
        {{0x07, 0x03, 0xFF, 0xFF, 0x05, 0x00, 0xFF, 0x12}, {0x07, 0x04, 0x00, 0x00, 0x06, 0x00, 0x00, 0x13, 0x01}},
        // One of the two change counters non-zero moves both; a zero PIN
        // change counter stays zero.
        {{0x07, 0x00, 0x00, 0x00, 0x05, 0x00, 0xFF, 0x12}, {0x07, 0x00, 0x01, 0x00, 0x06, 0x00, 0x00, 0x13, 0x01}},
        {{0x00, 0x02, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x03, 0x0A, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01}},
        {{0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01}},
    };
    for (const Row& row : rows) {
        RuleCard card;
        card.on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x7F, 0x01}, {fcp(0x7F, 0x01, 0x05)})
            .on({0x00, 0xB0, 0x00, 0x00, 0x08}, {row.previous});
        card.on({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {fcp(0x3F, 0x00, 0x05)})
            .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0xA1, 0xBC}, {fcp(0xA1, 0xBC, 0x05)})
            .on({0x80, 0xFE, 0x06, 0x00}, {{}, 0x6120})
            .on({0x00, 0xC0, 0x00, 0x00, 0x08}, {kIdentity, 0x6118});
        ASSERT_EQ(initToken(card.host(), parameters()), abi::CKR_OK);
        EXPECT_EQ(card.commandsStartingWith({0x00, 0xE4, 0x00, 0x00, 0x02, 0x7F, 0x01}).size(), 1u);
        const Bytes counters = writtenTo(card, 0x70, 0xFE);
        ASSERT_EQ(counters.size(), 100u);
        EXPECT_EQ(Bytes(counters.begin(), counters.begin() + 9), row.written);
        EXPECT_EQ(counters[14], 0);
    }
}

TEST(InitToken, WrongSoPinOrForeignCardChangesNothing) {
    auto changes = [](const RuleCard& card) {
        std::size_t writes = 0;
        for (const auto& sent : card.sent()) {
            const uint8_t ins = sent.command[1];
            writes += ins == 0xE0 || ins == 0xE4 || ins == 0xD6 || ins == 0x24 || ins == 0x44 ? 1 : 0;
        }
        return writes;
    };
    RuleCard wrongPin = blankCard();
    wrongPin.on({0x00, 0x20, 0x00, 0x05}, {{}, 0x63C9});
    EXPECT_EQ(initToken(wrongPin.host(), parameters()), abi::CKR_PIN_INCORRECT);
    EXPECT_EQ(changes(wrongPin), 0u);

    RuleCard blocked = blankCard();
    blocked.on({0x00, 0x20, 0x00, 0x05}, {{}, 0x6983});
    EXPECT_EQ(initToken(blocked.host(), parameters()), abi::CKR_PIN_LOCKED);

    RuleCard dormant;
    dormant.on({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {fcp(0x3F, 0x00, 0x03)});
    EXPECT_EQ(initToken(dormant.host(), parameters()), abi::CKR_TOKEN_NOT_RECOGNIZED);
    RuleCard foreign;
    foreign.on({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {fcp(0x3F, 0x00, 0x05)})
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0xA1, 0xBC}, {{}, 0x6A82});
    EXPECT_EQ(initToken(foreign.host(), parameters()), abi::CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(changes(dormant) + changes(foreign), 0u);
}

}  // namespace
}  // namespace korva::token
