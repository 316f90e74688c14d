#include "tests/card/fake_card.h"

#include "card/select.h"

#include <gtest/gtest.h>

namespace korva::card {
namespace {

using testing::Bytes;
using testing::FakeCard;

Bytes fcp(const Bytes& body) {
    Bytes out = {0x62, static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

const Bytes kTransparentBody = {0x80, 0x02, 0x00, 0x64, 0x82, 0x01, 0x01, 0x83, 0x02, 0x50,
                                0xE1, 0x86, 0x03, 0xFF, 0x12, 0x00, 0x8A, 0x01, 0x05};

// Selects 50 E1 with the given card answer; returns the result.
CardResult selectWith(CardContext& context, FakeCard& card, uint16_t statusWord, const Bytes& answer) {
    card.answer(statusWord, answer);
    return selectFile(context, 0x50E1);
}

TEST(SelectFile, SendsP1ByIdentifierAndFlag1) {
    FakeCard card;
    card.ok().ok();
    CardContext context(card.host());
    EXPECT_EQ(selectFile(context, 0x3F00), result::kOk);
    EXPECT_EQ(selectFile(context, 0x7F01), result::kOk);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(card.command(1), (Bytes{0x00, 0xA4, 0x09, 0x00, 0x02, 0x7F, 0x01}));
    EXPECT_EQ(card.sent()[1].flag, 1u);
    EXPECT_EQ(card.sent()[1].capacity, 258u);
}

TEST(SelectFile, ReservedIdentifierIsNotFoundWithoutAnExchange) {
    FakeCard card;
    CardContext context(card.host());
    EXPECT_EQ(selectFile(context, 0xFFFF), result::kNotFound);
    EXPECT_TRUE(card.sent().empty());
}

TEST(SelectFile, StatusWordMapping) {
    const std::pair<uint16_t, CardResult> cases[] = {
        {0x6A82, result::kNotFound},   {0x6A86, result::kNotFound},   {0x6A00, result::kNotFound},
        {0x6282, result::kNotFound},   {0x6982, result::kNotFound},   {0x6283, result::kUnexpected},
        {0x6985, result::kUnexpected}, {0x9001, result::kUnexpected},
    };
    for (const auto& [statusWord, expected] : cases) {
        FakeCard card;
        CardContext context(card.host());
        EXPECT_EQ(selectWith(context, card, statusWord, fcp(kTransparentBody)), expected) << std::hex << statusWord;
    }
}

TEST(SelectFile, TransportFailureIsPassedOn) {
    FakeCard card;
    card.failTransport(77);
    CardContext context(card.host());
    EXPECT_EQ(selectFile(context, 0x5000), result::kBadArgumentOrTransport);
}

TEST(ParseFcp, ReadsTheFieldsOfATransparentFile) {
    FakeCard card;
    CardContext context(card.host());
    ASSERT_EQ(selectWith(context, card, 0x9000, fcp(kTransparentBody)), result::kOk);
    const FileControlInfo& fci = context.fci;
    EXPECT_EQ(fci.descriptor, 0x01);
    EXPECT_EQ(fci.fileId, 0x50E1u);
    EXPECT_EQ(fci.fileSize, 100u);
    EXPECT_EQ(fci.lifeCycle, 0x05);
    EXPECT_EQ(fci.securityAttributes, (Bytes{0xFF, 0x12, 0x00}));
    EXPECT_EQ(fci.allocatedSize, FileControlInfo::kAbsent);
    EXPECT_EQ(fci.recordLength, FileControlInfo::kAbsent);
    EXPECT_EQ(fci.recordCount, -1);
}

TEST(ParseFcp, EmptyAnswerLeavesEverythingAbsent) {
    FakeCard card;
    CardContext context(card.host());
    ASSERT_EQ(selectWith(context, card, 0x9000, fcp(kTransparentBody)), result::kOk);
    context.fci.keyReference = 0x1234;
    ASSERT_EQ(selectWith(context, card, 0x9000, {}), result::kOk);
    EXPECT_EQ(context.fci.fileSize, FileControlInfo::kAbsent);
    EXPECT_EQ(context.fci.fileId, FileControlInfo::kAbsent);
    EXPECT_EQ(context.fci.lifeCycle, 0xFF);
    EXPECT_TRUE(context.fci.securityAttributes.empty());
    EXPECT_EQ(context.fci.keyReference, 0x1234u);  // kept across selections
}

TEST(ParseFcp, WithoutTag80TheSizeIsAbsent) {
    FakeCard card;
    CardContext context(card.host());
    ASSERT_EQ(selectWith(context, card, 0x9000, fcp({0x82, 0x01, 0x38, 0x83, 0x02, 0x7F, 0x01, 0x8A, 0x01, 0x05})),
              result::kOk);
    EXPECT_EQ(context.fci.fileSize, FileControlInfo::kAbsent);
    EXPECT_EQ(context.fci.descriptor, 0x38);
}

TEST(ParseFcp, LinearFixedFileRecordCount) {
    struct Case {
        Bytes sizeTlv;
        Bytes descriptorTlv;
        int32_t expected;
    };
    const Case cases[] = {
        {{0x80, 0x02, 0x03, 0xFC}, {0x82, 0x03, 0x02, 0xC1, 0xFF}, 4},               // 1020 / 255
        {{0x80, 0x02, 0x01, 0x00}, {0x82, 0x03, 0x02, 0xC1, 0x00}, -1},              // record length 0
        {{}, {0x82, 0x03, 0x02, 0xC1, 0xFF}, -1},                                    // size unknown
        {{0x80, 0x02, 0x01, 0x00}, {0x82, 0x01, 0x02}, -1},                          // record length unknown
        {{0x80, 0x04, 0xFF, 0xFF, 0xFF, 0xFE}, {0x82, 0x03, 0x02, 0xC1, 0x01}, -1},  // beyond int32
    };
    for (const Case& c : cases) {
        FakeCard card;
        CardContext context(card.host());
        const Bytes body = testing::concat({c.sizeTlv, c.descriptorTlv, {0x83, 0x02, 0x50, 0x00, 0x8A, 0x01, 0x05}});
        ASSERT_EQ(selectWith(context, card, 0x9000, fcp(body)), result::kOk);
        EXPECT_EQ(context.fci.recordCount, c.expected);
    }
}

TEST(ParseFcp, ReadsKeyAttributesOfAKeyFile) {
    FakeCard card;
    CardContext context(card.host());
    const Bytes body = {0x82, 0x01, 0x11, 0x83, 0x02, 0x61, 0x01, 0x8A, 0x01, 0x05, 0xA5, 0x13, 0x82, 0x02, 0x12, 0x34,
                        0x85, 0x01, 0x22, 0x8E, 0x01, 0x02, 0x8F, 0x01, 0x08, 0x87, 0x01, 0x61, 0x89, 0x01, 0x00};
    card.ok(fcp(body));
    ASSERT_EQ(selectFile(context, 0x6101), result::kOk);
    EXPECT_EQ(context.fci.keyReference, 0x1234u);
    EXPECT_EQ(context.fci.keyAttr85, 0x22);
    EXPECT_EQ(context.fci.keyAttr8E, 0x02);
    EXPECT_EQ(context.fci.keyAttr8F, 0x08);
    EXPECT_EQ(context.fci.keyAttr87, 0x61);
    EXPECT_EQ(context.fci.keyAttr89, 0x00);
}

// Answers that must give 5 and must not be read past their end.
TEST(ParseFcp, HostileTemplatesAreMalformed) {
    const Bytes kRequired = {0x82, 0x01, 0x01, 0x83, 0x02, 0x50, 0x01, 0x8A, 0x01, 0x05};
    const std::pair<const char*, Bytes> cases[] = {
        {"one byte", {0x62}},
        {"outer length past end", {0x62, 0x20, 0x82, 0x01, 0x01}},
        {"outer 82 form truncated", {0x62, 0x82, 0x00}},
        {"inner length past end", {0x62, 0x05, 0x82, 0x09, 0x01, 0x83, 0x02}},
        {"missing 82", fcp({0x83, 0x02, 0x50, 0x01, 0x8A, 0x01, 0x05})},
        {"empty 82", fcp({0x82, 0x00, 0x83, 0x02, 0x50, 0x01, 0x8A, 0x01, 0x05})},
        {"missing 83", fcp({0x82, 0x01, 0x01, 0x8A, 0x01, 0x05})},
        {"short 83", fcp({0x82, 0x01, 0x01, 0x83, 0x01, 0x50, 0x8A, 0x01, 0x05})},
        {"missing 8A", fcp({0x82, 0x01, 0x01, 0x83, 0x02, 0x50, 0x01})},
        {"long 8A", fcp({0x82, 0x01, 0x01, 0x83, 0x02, 0x50, 0x01, 0x8A, 0x02, 0x05, 0x05})},
        {"oversized 80", fcp(testing::concat({kRequired, {0x80, 0x05, 1, 2, 3, 4, 5}}))},
        {"empty 80", fcp(testing::concat({kRequired, {0x80, 0x00}}))},
        {"oversized 81", fcp(testing::concat({kRequired, {0x81, 0x05, 1, 2, 3, 4, 5}}))},
        {"damaged TLV after the required ones", fcp(testing::concat({kRequired, {0x80, 0x04, 0x00}}))},
        {"A5 past end", fcp(testing::concat({kRequired, {0xA5, 0x04, 0x82, 0x01}}))},
        {"oversized key reference", fcp(testing::concat({kRequired, {0xA5, 0x07, 0x82, 0x05, 1, 2, 3, 4, 5}}))},
    };
    for (const auto& [name, answer] : cases) {
        FakeCard card;
        CardContext context(card.host());
        EXPECT_EQ(selectWith(context, card, 0x9000, answer), result::kUnexpected) << name;
    }
}

TEST(ParseFcp, KeyFileNeedsItsAttributes) {
    const Bytes head = {0x82, 0x01, 0x11, 0x83, 0x02, 0x61, 0x01, 0x8A, 0x01, 0x05};
    const std::pair<Bytes, CardResult> cases[] = {
        {{0xA5, 0x09, 0x85, 0x01, 0x00, 0x87, 0x01, 0x61, 0x89, 0x01, 0x00}, result::kOk},          // 85 = 0: no 8E
        {{0xA5, 0x06, 0x87, 0x01, 0x61, 0x89, 0x01, 0x00}, result::kUnexpected},                    // no 85
        {{0xA5, 0x09, 0x85, 0x01, 0x22, 0x87, 0x01, 0x61, 0x89, 0x01, 0x00}, result::kUnexpected},  // no 8E
        {{0xA5, 0x0C, 0x85, 0x01, 0x22, 0x8E, 0x01, 0x02, 0x87, 0x01, 0x61, 0x89, 0x01, 0x00}, result::kOk},
        {{0xA5, 0x10, 0x85, 0x01, 0x22, 0x8E, 0x01, 0x02, 0x8F, 0x02, 0x08, 0x08, 0x87, 0x01, 0x61, 0x89, 0x01, 0x00},
         result::kUnexpected},                                                    // 8F of two bytes
        {{0xA5, 0x06, 0x85, 0x01, 0x00, 0x87, 0x01, 0x61}, result::kUnexpected},  // no 89
    };
    for (const auto& [a5, expected] : cases) {
        FakeCard card;
        CardContext context(card.host());
        card.ok(fcp(testing::concat({head, a5})));
        EXPECT_EQ(selectFile(context, 0x6101), expected);
    }
}

TEST(SelectPath, ValidatesThePathBeforeSending) {
    FakeCard card;
    CardContext context(card.host());
    EXPECT_EQ(selectPath(context, {}), result::kBadArgumentOrTransport);
    EXPECT_EQ(selectPath(context, Bytes{0xA1, 0xBC, 0x7F}), result::kBadArgumentOrTransport);
    EXPECT_EQ(selectPath(context, Bytes(102, 0x01)), result::kBadArgumentOrTransport);
    EXPECT_TRUE(card.sent().empty());
    card.ok();
    EXPECT_EQ(selectPath(context, Bytes(100, 0x01)), result::kOk);
}

TEST(SelectPath, ShorthandsSendTheirPaths) {
    FakeCard card;
    for (int i = 0; i < 5; ++i) card.ok();
    CardContext context(card.host());
    EXPECT_EQ(selectApplication(context), result::kOk);
    EXPECT_EQ(selectApplicationSubdirectory(context), result::kOk);
    EXPECT_EQ(selectCertificateDirectory(context), result::kOk);
    EXPECT_EQ(selectKeyDirectory(context), result::kOk);
    EXPECT_EQ(selectDataFileDirectory(context), result::kOk);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x02, 0xA1, 0xBC}));
    EXPECT_EQ(card.command(1), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x04, 0xA1, 0xBC, 0x7F, 0x01}));
    EXPECT_EQ(card.command(2), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x06, 0xA1, 0xBC, 0x7F, 0x01, 0x70, 0x01}));
    EXPECT_EQ(card.command(3), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x02, 0x05, 0x1F}));
    EXPECT_EQ(card.command(4), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x02, 0x05, 0x1E}));
    for (const auto& sent : card.sent()) EXPECT_EQ(sent.flag, 1u);
}

TEST(SelectPath, SucceedsOverAMalformedFcpButRecordsIt) {
    FakeCard card;
    card.ok({0x62, 0x10, 0x82});
    CardContext context(card.host());
    EXPECT_EQ(selectPath(context, kPathApplication), result::kOk);
    EXPECT_EQ(context.lastResult, valueOf(result::kUnexpected));
}

TEST(KeyFiles, IdentifiersFromF000AreKeyFilesWhateverTheCardSays) {
    FakeCard card;
    CardContext context(card.host());
    card.ok(fcp({0x82, 0x01, 0x01, 0x83, 0x02, 0xF0, 0x01, 0x8A, 0x01, 0x05}));
    ASSERT_EQ(selectPath(context, Bytes{0x05, 0x1F, 0xF0, 0x01}), result::kOk);
    EXPECT_EQ(context.fci.descriptor, 0x11);
    EXPECT_EQ(context.fci.keyAttr85, 0x21);

    card.ok(fcp({0x82, 0x01, 0x01, 0x83, 0x02, 0xF0, 0x31, 0x8A, 0x01, 0x05}));
    ASSERT_EQ(selectFile(context, 0xF031), result::kOk);
    EXPECT_EQ(context.fci.descriptor, 0x11);
    EXPECT_EQ(context.fci.keyAttr85, 0x21);

    card.ok(fcp({0x82, 0x01, 0x01, 0x83, 0x02, 0xE1, 0x01, 0x8A, 0x01, 0x05}));
    ASSERT_EQ(selectFile(context, 0xE101), result::kOk);
    EXPECT_EQ(context.fci.descriptor, 0x01);
    EXPECT_EQ(context.fci.keyAttr85, 0xFF);
}

}  // namespace
}  // namespace korva::card
