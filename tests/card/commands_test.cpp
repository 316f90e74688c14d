#include "tests/card/fake_card.h"

#include "card/credentials.h"
#include "card/files.h"
#include "card/identity.h"
#include "card/records.h"
#include "card/security_env.h"
#include "card/security_ops.h"
#include "card/templates.h"

#include <gtest/gtest.h>

#include <functional>

namespace korva::card {
namespace {

using testing::Bytes;
using testing::counting;
using testing::FakeCard;

Bytes head(const Bytes& command, std::size_t count) { return Bytes(command.begin(), command.begin() + count); }

// ---- transparent files -------------------------------------------------

TEST(ReadBinary, SixHundredBytesInThreePieces) {
    FakeCard card;
    const Bytes content = counting(600);
    card.ok(Bytes(content.begin(), content.begin() + 255))
        .ok(Bytes(content.begin() + 255, content.begin() + 510))
        .ok(Bytes(content.begin() + 510, content.end()));
    CardContext context(card.host());
    Bytes out(600);
    ASSERT_EQ(readBinary(context, 0, out), result::kOk);
    EXPECT_EQ(out, content);
    ASSERT_EQ(card.sent().size(), 3u);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0xB0, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(card.command(1), (Bytes{0x00, 0xB0, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(card.command(2), (Bytes{0x00, 0xB0, 0x01, 0xFE, 0x5A}));
    for (const auto& sent : card.sent()) {
        EXPECT_EQ(sent.flag, 1u);
        EXPECT_EQ(sent.capacity, 258u);
    }
}

TEST(ReadBinary, StatusWordsAndAnswerLengths) {
    const std::pair<std::function<void(FakeCard&)>, CardResult> cases[] = {
        {[](FakeCard& c) { c.answer(0x6982); }, result::kSecurity},
        {[](FakeCard& c) { c.answer(0x6B00); }, result::kWrongLength},
        {[](FakeCard& c) { c.answer(0x6C05); }, result::kWrongLength},
        {[](FakeCard& c) { c.answer(0x6282, Bytes(10, 1)); }, result::kUnexpected},
        {[](FakeCard& c) { c.ok(Bytes(9, 1)); }, result::kUnexpected},   // short answer
        {[](FakeCard& c) { c.ok(Bytes(11, 1)); }, result::kUnexpected},  // long answer
        {[](FakeCard& c) { c.failTransport(3); }, result::kBadArgumentOrTransport},
    };
    for (const auto& [script, expected] : cases) {
        FakeCard card;
        script(card);
        CardContext context(card.host());
        Bytes out(10);
        EXPECT_EQ(readBinary(context, 0, out), expected);
    }
}

TEST(ReadBinary, NothingToReadSendsNothing) {
    FakeCard card;
    CardContext context(card.host());
    EXPECT_EQ(readBinary(context, 0, {}), result::kOk);
    EXPECT_TRUE(card.sent().empty());
    Bytes out(2);
    EXPECT_EQ(readBinary(context, 0x7FFF, out), result::kBadArgumentOrTransport);
}

TEST(UpdateBinary, PiecesAtIncreasingOffsetsStopAtTheFirstFailure) {
    FakeCard card;
    card.ok().answer(0x6982);
    CardContext context(card.host());
    const Bytes data = counting(600);
    EXPECT_EQ(updateBinary(context, 16, data), result::kSecurity);
    ASSERT_EQ(card.sent().size(), 2u);
    EXPECT_EQ(head(card.command(0), 5), (Bytes{0x00, 0xD6, 0x00, 0x10, 0xFF}));
    EXPECT_EQ(Bytes(card.command(0).begin() + 5, card.command(0).end()), Bytes(data.begin(), data.begin() + 255));
    EXPECT_EQ(head(card.command(1), 5), (Bytes{0x00, 0xD6, 0x01, 0x0F, 0xFF}));
    EXPECT_EQ(card.sent()[0].flag, 1u);
}

// ---- records ------------------------------------------------------------

TEST(ReadRecord, LengthQueryTakesTheLengthFrom6C) {
    FakeCard card;
    card.answer(0x6C28);
    CardContext context(card.host());
    uint32_t length = 0;
    ASSERT_EQ(queryRecordLength(context, 3, length), result::kOk);
    EXPECT_EQ(length, 40u);
    ASSERT_EQ(card.sent().size(), 1u);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0xB2, 0x03, 0x04, 0xFF}));
}

TEST(ReadRecord, LengthQueryAnsweredWithTheWholeRecord) {
    FakeCard card;
    card.ok(Bytes(255, 7));
    CardContext context(card.host());
    uint32_t length = 0;
    ASSERT_EQ(queryRecordLength(context, 1, length), result::kOk);
    EXPECT_EQ(length, 255u);
}

// 6C xx to an unknown length asks again with Le xx; 6C 00 too (Le 00 asks
// for up to 256 bytes), and what does not fit the record buffer is refused.
TEST(ReadRecord, UnknownLengthIsAskedAgainWithTheCardsLength) {
    struct Case {
        uint16_t firstStatus;
        std::size_t answered;
        CardResult expected;
    };
    for (const Case c :
         {Case{0x6C28, 40, result::kOk}, Case{0x6C00, 200, result::kOk}, Case{0x6C00, 256, result::kWrongLength}}) {
        SCOPED_TRACE(c.firstStatus);
        FakeCard card;
        card.answer(c.firstStatus).ok(counting(c.answered));
        CardContext context(card.host());
        Bytes buffer(255);
        uint32_t length = 0;
        ASSERT_EQ(readRecord(context, 2, buffer, length), c.expected);
        ASSERT_EQ(card.sent().size(), 2u);
        EXPECT_EQ(card.command(1), (Bytes{0x00, 0xB2, 0x02, 0x04, uint8_t(c.firstStatus)}));
        EXPECT_EQ(card.sent()[1].capacity, 258u);
        if (c.expected != result::kOk) continue;
        EXPECT_EQ(length, c.answered);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + long(length)), counting(c.answered));
    }
}

TEST(ReadRecord, KnownLengthAnswered6CReportsTheRightLength) {
    FakeCard card;
    card.answer(0x6C28);
    CardContext context(card.host());
    Bytes buffer(255);
    uint32_t length = 255;
    EXPECT_EQ(readRecord(context, 2, buffer, length), result::kWrongLength);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(card.sent().size(), 1u);
}

TEST(ReadRecord, StatusWordsAndBuffers) {
    struct Case {
        uint16_t statusWord;
        Bytes answer;
        std::size_t bufferSize;
        uint32_t length;
        CardResult expected;
    };
    const Case cases[] = {
        {0x9000, Bytes(255, 1), 255, 255, result::kOk},
        {0x9000, Bytes(255, 1), 254, 0, result::kWrongLength},  // buffer smaller than the answer
        {0x9000, {}, 255, 256, result::kWrongLength},           // no exchange
        {0x6982, {}, 255, 0, result::kSecurity},
        {0x6A83, {}, 255, 0, result::kNotFound},
        {0x6A82, {}, 255, 0, result::kUnexpected},
    };
    for (const Case& c : cases) {
        FakeCard card;
        card.answer(c.statusWord, c.answer);
        CardContext context(card.host());
        Bytes buffer(c.bufferSize);
        uint32_t length = c.length;
        EXPECT_EQ(readRecord(context, 1, buffer, length), c.expected) << std::hex << c.statusWord;
    }
}

TEST(UpdateRecord, SendsAFullZeroPaddedRecord) {
    FakeCard card;
    card.ok().answer(0x6A83);
    CardContext context(card.host());
    const Bytes record = {0x00, 0x00, 0x00, 0x01, 0x01, 0x01};
    EXPECT_EQ(updateRecord(context, 5, record), result::kOk);
    EXPECT_EQ(updateRecord(context, 6, record), result::kNotFound);
    const Bytes& sent = card.command(0);
    ASSERT_EQ(sent.size(), 260u);
    EXPECT_EQ(head(sent, 5), (Bytes{0x00, 0xDC, 0x05, 0x04, 0xFF}));
    EXPECT_EQ(Bytes(sent.begin() + 5, sent.begin() + 11), record);
    EXPECT_EQ(Bytes(sent.begin() + 11, sent.end()), Bytes(249, 0));
    EXPECT_EQ(updateRecord(context, 1, Bytes(256, 0)), result::kBadArgumentOrTransport);
}

// ---- file templates -----------------------------------------------------

TEST(Templates, LengthsAreConsistentAndValuesInPlace) {
    struct Case {
        const char* name;
        std::function<CardResult(CardContext&)> create;
        std::size_t length;
        uint32_t flag;
    };
    // clang-format off
    const Case cases[] = {
        {"data file", [](CardContext& c) { return createNumberedDataFile(c, 0x0101, 100); }, 29, 1},
        {"container map", [](CardContext& c) { return createContainerMapFile(c, 1291); }, 29, 1},
        {"first profile",
         [](CardContext& c) { return createTransparentFile(c, 0x6401, 300, TransparentProfile::kFirst, 0x12, 0x00); },
         29, 1},
        {"second profile",
         [](CardContext& c) { return createTransparentFile(c, 0x6301, 33, TransparentProfile::kSecond, 0x07, 0x07); },
         29, 1},
        {"record file", [](CardContext& c) { return createRecordFile(c, 0x5000, 4, false); }, 31, 1},
        {"subdirectory", [](CardContext& c) { return createApplicationSubdirectory(c); }, 32, 0},
        {"key file 1",
         [](CardContext& c) { return createKeyFile(c, 0x6101, KeyFileFirstForm{0x22, 0x61, 0x02, 0x01}); },
         55, 1},
        {"key file 2", [](CardContext& c) { return createKeyFile(c, 0x6302, KeyFileSecondForm{0x02, 0x52, 0x00}); },
         50, 1},
        {"PIN object", [](CardContext& c) { return createPinObject(c, 0x0A); }, 47, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        FakeCard card;
        card.ok();
        CardContext context(card.host());
        ASSERT_EQ(c.create(context), result::kOk) << c.name;
        const Bytes& sent = card.command(0);
        EXPECT_EQ(sent.size(), c.length) << c.name;
        EXPECT_EQ(head(sent, 4), (Bytes{0x00, 0xE0, 0x00, 0x00})) << c.name;
        EXPECT_EQ(sent[4], c.length - 5) << c.name;
        EXPECT_EQ(sent[5], 0x62) << c.name;
        EXPECT_EQ(sent[6], c.length - 7) << c.name;
        EXPECT_EQ(card.sent()[0].flag, c.flag) << c.name;
    }
}

TEST(Templates, NoRoomAndNoRights) {
    FakeCard card;
    card.answer(0x6A84).answer(0x6982).answer(0x6A80);
    CardContext context(card.host());
    EXPECT_EQ(createRecordFile(context, 0x5000, 9, false), result::kMemory);
    EXPECT_EQ(createKeyFile(context, 0x6101, KeyFileFirstForm{}), result::kSecurity);
    EXPECT_EQ(createNumberedDataFile(context, 0x0101, 100), result::kUnexpected);
}

// ---- reference data and keys ---------------------------------------------

TEST(ReferenceData, CommandBufferIsWipedAfterTheExchange) {
    FakeCard card;
    card.ok();
    CardContext context(card.host());
    const Bytes credential = testing::filled(24, 0x5A);
    EXPECT_EQ(setReferenceData(context, 0x09, credential), result::kOk);
    EXPECT_EQ(card.command(0), testing::concat({{0x00, 0x24, 0x01, 0x09, 0x18}, credential}));
    EXPECT_EQ(card.sent()[0].flag, 1u);
    for (uint8_t byte : context.command) ASSERT_EQ(byte, 0);
}

TEST(LoadKey, TwoPartFormChainsWithClass10) {
    FakeCard card;
    card.ok().ok();
    CardContext context(card.host());
    const Bytes modulus = testing::filled(128, 0xC1);
    const Bytes privateExponent = testing::filled(128, 0xD2);
    ASSERT_EQ(loadKeyPair(context, 0x61, Bytes{0x01, 0x00, 0x01}, modulus, privateExponent), result::kOk);
    ASSERT_EQ(card.sent().size(), 2u);
    EXPECT_EQ(card.command(0),
              testing::concat({{0x10, 0x24, 0x01, 0x61, 0x88, 0, 0, 0, 0, 0, 0x01, 0x00, 0x01}, modulus}));
    EXPECT_EQ(card.command(1), testing::concat({{0x00, 0x24, 0x01, 0x61, 0x80}, privateExponent}));
    EXPECT_EQ(card.sent()[0].flag, 1u);
    for (uint8_t byte : context.command) ASSERT_EQ(byte, 0);
}

TEST(LoadKey, FirstPartRefusedStopsAndOversizedValuesAreRefused) {
    FakeCard card;
    card.answer(0x6A80).failTransport(9);
    CardContext context(card.host());
    const Bytes half(128, 1);
    EXPECT_EQ(loadKeyPair(context, 0x61, Bytes{3}, half, half), result::kUnexpected);
    EXPECT_EQ(card.sent().size(), 1u);
    EXPECT_EQ(loadKey(context, 0x51, Bytes{1, 2}, Bytes(16, 7)), result::kBadArgumentOrTransport);
    EXPECT_EQ(card.command(1), testing::concat({{0x00, 0x24, 0x01, 0x51, 24, 0, 0, 0, 0, 0, 0, 1, 2}, Bytes(16, 7)}));
    EXPECT_EQ(loadKey(context, 0x51, Bytes(9, 0), Bytes(16, 7)), result::kBadArgumentOrTransport);
    EXPECT_EQ(loadKeyPair(context, 0x61, Bytes(9, 0), half, half), result::kBadArgumentOrTransport);
    EXPECT_EQ(card.sent().size(), 2u);
}

// ---- security environment -------------------------------------------------

TEST(SecurityEnvironment, SetKeyRestoresFirst) {
    FakeCard card;
    card.ok().ok().ok().ok();
    CardContext context(card.host());
    EXPECT_EQ(setKeyForSigning(context, 0x31), result::kOk);
    EXPECT_EQ(setKeyForDeciphering(context, 0x61), result::kOk);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0x22, 0xF3, 0x00}));
    EXPECT_EQ(card.command(1), (Bytes{0x00, 0x22, 0xC1, 0xB6, 0x03, 0x83, 0x01, 0x31}));
    EXPECT_EQ(card.command(3), (Bytes{0x00, 0x22, 0xC1, 0xB8, 0x03, 0x83, 0x01, 0x61}));
    for (const auto& sent : card.sent()) {
        EXPECT_EQ(sent.flag, 1u);
        EXPECT_EQ(sent.capacity, 2u);
    }
}

TEST(SecurityEnvironment, RefusedRestoreStops) {
    FakeCard card;
    card.answer(0x6A88);
    CardContext context(card.host());
    EXPECT_EQ(setKeyForSigning(context, 0x31), result::kUnexpected);
    EXPECT_EQ(card.sent().size(), 1u);
}

TEST(SecurityEnvironment, CipherEnvironmentInitialVector) {
    const Bytes iv8 = counting(8, 1);
    struct Case {
        std::size_t ivLength;
        Bytes iv;
        Bytes expectedLast;
    };
    const Case cases[] = {
        {8, iv8, testing::concat({{0x00, 0x22, 0xC1, 0xB8, 0x0A, 0x87, 0x08}, iv8})},
        {16, {}, testing::concat({{0x00, 0x22, 0xC1, 0xB8, 0x12, 0x87, 0x10}, Bytes(16, 0)})},
        {0, {}, testing::concat({{0x00, 0x22, 0xC1, 0xB8, 0x12, 0x87, 0x10}, Bytes(16, 0)})},
    };
    for (const Case& c : cases) {
        FakeCard card;
        card.ok().ok().ok();
        CardContext context(card.host());
        ASSERT_EQ(setCipherEnvironment(context, 0x52, 0x02, c.ivLength, c.iv), result::kOk);
        ASSERT_EQ(card.sent().size(), 3u);
        EXPECT_EQ(card.command(1), (Bytes{0x00, 0x22, 0xC1, 0xB8, 0x06, 0x83, 0x01, 0x52, 0x8C, 0x01, 0x02}));
        EXPECT_EQ(card.command(2), c.expectedLast);
    }
    FakeCard card;
    CardContext context(card.host());
    EXPECT_EQ(setCipherEnvironment(context, 0x52, 0x02, 16, iv8), result::kBadArgumentOrTransport);
    EXPECT_TRUE(card.sent().empty());
}

// ---- security operations ---------------------------------------------------

TEST(Cipher, EncipherDropsThePaddingIndicator) {
    FakeCard card;
    card.ok(testing::concat({{0x00}, counting(16)})).ok({});
    CardContext context(card.host());
    Bytes out(16);
    std::size_t length = 0;
    ASSERT_EQ(encipher(context, counting(16), true, out, length), result::kOk);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(out, counting(16));
    EXPECT_EQ(head(card.command(0), 5), (Bytes{0x10, 0x2A, 0x86, 0x80, 0x10}));
    EXPECT_EQ(encipher(context, counting(16), false, out, length), result::kUnexpected);  // no indicator
}

// A two-byte answer is refused in both directions, whatever the data sent.
TEST(Cipher, TwoByteAnswersAreNotCipherResults) {
    FakeCard card;
    card.ok({0x02, 0x55}).ok({0x90, 0x00});
    CardContext context(card.host());
    Bytes out(16);
    std::size_t length = 0;
    EXPECT_EQ(encipher(context, counting(8), false, out, length), result::kUnexpected);
    EXPECT_EQ(decipher(context, counting(8), false, out, length), result::kUnexpected);
}

TEST(Cipher, DecipherSendsTheIndicatorAndChecksTheBuffer) {
    FakeCard card;
    card.ok(counting(16)).ok(counting(16));
    CardContext context(card.host());
    Bytes out(16);
    std::size_t length = 0;
    ASSERT_EQ(decipher(context, counting(16, 0x40), false, out, length), result::kOk);
    EXPECT_EQ(card.command(0), testing::concat({{0x00, 0x2A, 0x80, 0x86, 0x11, 0x02}, counting(16, 0x40)}));
    Bytes small(15);
    EXPECT_EQ(decipher(context, counting(16), false, small, length), result::kWrongLength);
    EXPECT_EQ(decipher(context, Bytes(255, 0), false, out, length), result::kBadArgumentOrTransport);
}

TEST(Cipher, EncipherLongNeedsAnAnswerAsLongAsTheData) {
    FakeCard card;
    card.ok(counting(128)).ok(counting(127));
    CardContext context(card.host());
    Bytes out(128);
    EXPECT_EQ(encipherLong(context, Bytes(128, 3), out), result::kOk);
    EXPECT_EQ(card.sent()[0].flag, 1u);
    EXPECT_EQ(encipherLong(context, Bytes(128, 3), out), result::kUnexpected);
    Bytes large(256);
    EXPECT_EQ(encipherLong(context, Bytes(256, 3), large), result::kBadArgumentOrTransport);
}

TEST(Signature, AnswerMustFillTheCallersBufferExactly) {
    FakeCard card;
    card.ok(counting(64)).ok(counting(64)).ok(counting(100));
    CardContext context(card.host());
    const Bytes hash = counting(32);
    Bytes signature(64);
    ASSERT_EQ(computeSignature(context, hash, signature), result::kOk);
    EXPECT_EQ(signature, counting(64));
    EXPECT_EQ(card.command(0), testing::concat({{0x00, 0x2A, 0x9E, 0x9A, 0x20}, hash}));
    Bytes wide(128);
    EXPECT_EQ(computeSignature(context, hash, wide), result::kUnexpected);
    Bytes odd(100);
    EXPECT_EQ(computeSignature(context, hash, odd), result::kUnexpected);
}

TEST(Signature, VerifyEncodesBothLengthForms) {
    FakeCard card;
    card.ok().answer(0x6982).answer(0x6985);
    CardContext context(card.host());
    const Bytes hash = counting(32);
    EXPECT_EQ(verifySignature(context, hash, counting(64)), result::kOk);
    EXPECT_EQ(card.command(0),
              testing::concat({{0x00, 0x2A, 0x00, 0xA8, 0x64, 0x9A, 0x20}, hash, {0x9E, 0x40}, counting(64)}));
    const Bytes data = counting(117);
    EXPECT_EQ(verifySignature(context, data, counting(128)), result::kSignatureRejected);
    EXPECT_EQ(card.command(1),
              testing::concat({{0x00, 0x2A, 0x00, 0xA8, 0xFA, 0x9A, 0x75}, data, {0x9E, 0x81, 0x80}, counting(128)}));
    EXPECT_EQ(verifySignature(context, hash, counting(64)), result::kUnexpected);
    EXPECT_EQ(verifySignature(context, counting(118), counting(128)), result::kBadArgumentOrTransport);
    EXPECT_EQ(verifySignature(context, hash, counting(129)), result::kBadArgumentOrTransport);
}

TEST(Signature, VerifyDataFieldIsBoundedAsAWhole) {
    FakeCard card;
    card.ok();
    CardContext context(card.host());
    // 9A 7C hash 9E 7F signature: exactly 255 bytes of data.
    EXPECT_EQ(verifySignature(context, counting(124), counting(127)), result::kOk);
    ASSERT_EQ(card.sent().size(), 1u);
    EXPECT_EQ(card.command(0).size(), 5u + 255u);
    EXPECT_EQ(card.command(0)[4], 0xFF);
    // Each length allowed on its own, one byte too many together.
    EXPECT_EQ(verifySignature(context, counting(125), counting(127)), result::kBadArgumentOrTransport);
    EXPECT_EQ(verifySignature(context, counting(127), counting(127)), result::kBadArgumentOrTransport);
    EXPECT_EQ(card.sent().size(), 1u);
}

TEST(PublicKey, ReadCopiesTheWholeAnswer) {
    FakeCard card;
    card.ok(counting(136)).answer(0x6982).ok(counting(136));
    CardContext context(card.host());
    Bytes out(258);
    std::size_t length = 0;
    ASSERT_EQ(readPublicKey(context, 0x61, out, length), result::kOk);
    EXPECT_EQ(length, 136u);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0x46, 0x01, 0x61, 0x00}));
    EXPECT_EQ(readPublicKey(context, 0, out, length), result::kSecurity);
    Bytes small(64);
    EXPECT_EQ(readPublicKey(context, 0, small, length), result::kWrongLength);
}

TEST(KeyGeneration, OnCardForms) {
    FakeCard card;
    card.answer(0x6140).answer(0x6180).answer(0x6180).answer(0x6180).answer(0x6A84).answer(0x9000);
    CardContext context(card.host());
    const OnCardKeyRequest plain{0xF031, 0x01, 0x31, false};
    const OnCardKeyRequest withOption{0xF032, 0x02, 0x32, true};
    EXPECT_EQ(generateKeyOnCard(context, plain), result::kOk);
    EXPECT_EQ(card.command(0), (Bytes{0x80, 0x76, 0x11, 0x31, 0x05, 0xF0, 0x31, 0x07, 0x00, 0x09}));
    EXPECT_EQ(generateKeyOnCard(context, withOption), result::kUnexpected);  // 61 80 is only for the long form
    EXPECT_EQ(card.command(1)[2], 0x32);
    EXPECT_EQ(generateKeyOnCardLong(context, plain, 0xD4321001, false), result::kOk);
    EXPECT_EQ(card.command(2), (Bytes{0x80, 0x76, 0x11, 0x31, 0x04, 0xF0, 0x31, 0x07, 0x00}));
    EXPECT_EQ(generateKeyOnCardLong(context, withOption, kKeyTypeGost512, false), result::kOk);
    EXPECT_EQ(card.command(3),
              (Bytes{0x80, 0x76, 0xB2, 0x32, 0x0A, 0xF0, 0x32, 0x07, 0x00, 0x01, 0x08, 0x05, 0x00, 0x00, 0x01}));
    EXPECT_EQ(generateKeyOnCardLong(context, withOption, 0xD4321001, false), result::kMemory);
    EXPECT_EQ(card.command(4)[13], 0x09);
    EXPECT_EQ(generateKeyOnCardLong(context, plain, 0xD4321001, true), result::kUnexpected);  // 90 00
    EXPECT_EQ(card.command(5)[2], 0x91);
    for (const auto& sent : card.sent()) EXPECT_EQ(sent.flag, 0u);
}

TEST(Challenge, TwentyBytesInThreeCommands) {
    FakeCard card;
    card.ok(counting(8, 0)).ok(counting(8, 8)).ok(counting(8, 16));
    CardContext context(card.host());
    Bytes out(21, 0xEE);
    ASSERT_EQ(getChallenge(context, std::span(out).first(20)), result::kOk);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 20), counting(20));
    EXPECT_EQ(out[20], 0xEE);
    ASSERT_EQ(card.sent().size(), 3u);
    for (const auto& sent : card.sent()) {
        EXPECT_EQ(sent.command, (Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
        EXPECT_EQ(sent.flag, 1u);
    }
}

TEST(Challenge, AnswerOfAnotherLengthIsRefused) {
    FakeCard card;
    card.ok(counting(7));
    CardContext context(card.host());
    Bytes out(8);
    EXPECT_EQ(getChallenge(context, out), result::kUnexpected);
}

// ---- identity, capability, information --------------------------------------

TEST(Identity, TwoExchangesWithTheExpectedStatusWords) {
    FakeCard card;
    card.answer(0x6120).answer(0x6118, counting(8, 0xA0));
    CardContext context(card.host());
    std::array<uint8_t, kCardIdentitySize> identity{};
    ASSERT_EQ(readCardIdentity(context, identity), result::kOk);
    EXPECT_EQ(Bytes(identity.begin(), identity.end()), counting(8, 0xA0));
    EXPECT_EQ(card.command(0), (Bytes{0x80, 0xFE, 0x06, 0x00}));
    EXPECT_EQ(card.command(1), (Bytes{0x00, 0xC0, 0x00, 0x00, 0x08}));
    for (const auto& sent : card.sent()) {
        EXPECT_EQ(sent.flag, 0u);
        EXPECT_EQ(sent.capacity, 258u);
    }
}

TEST(Identity, WrongAnswersAreRefused) {
    const std::pair<std::function<void(FakeCard&)>, CardResult> cases[] = {
        {[](FakeCard& c) { c.ok(); }, result::kUnexpected},
        {[](FakeCard& c) { c.answer(0x6120).ok(counting(8)); }, result::kUnexpected},
        {[](FakeCard& c) { c.answer(0x6120).answer(0x6118, counting(7)); }, result::kUnexpected},
        {[](FakeCard& c) { c.answer(0x6120).failTransport(2); }, result::kBadArgumentOrTransport},
    };
    for (const auto& [script, expected] : cases) {
        FakeCard card;
        script(card);
        CardContext context(card.host());
        std::array<uint8_t, kCardIdentitySize> identity{};
        EXPECT_EQ(readCardIdentity(context, identity), expected);
    }
}

TEST(Information, RecordOf127Bytes) {
    FakeCard card;
    Bytes record = counting(127);
    card.answer(0x6C7F).ok(record).answer(0x6C7F).ok(counting(126));
    CardContext context(card.host());
    CardInformation information;
    ASSERT_EQ(readCardInformation(context, information), result::kOk);
    EXPECT_EQ(Bytes(information.bytes.begin(), information.bytes.end()), record);
    EXPECT_EQ(information.value124, 0x7C7D);
    EXPECT_EQ(information.value126, 0x7E);
    EXPECT_EQ(card.command(0), (Bytes{0x80, 0x78, 0x00, 0x00}));
    EXPECT_EQ(card.command(1), (Bytes{0x00, 0xC0, 0x00, 0x00, 0x7F}));
    EXPECT_EQ(card.sent()[1].capacity, 258u);
    EXPECT_EQ(readCardInformation(context, information), result::kUnexpected);
}

TEST(KeySlots, BitmapNamesTheKeys) {
    FakeCard card;
    card.ok().ok().ok();
    CardContext context(card.host());
    EXPECT_EQ(clearKeySlot(context, 1), result::kOk);
    EXPECT_EQ(clearKeySlot(context, 0x31), result::kOk);
    EXPECT_EQ(clearKeySlotBlock(context), result::kOk);
    Bytes expected = {0x80, 0x74, 0x00, 0x00, 0x10, 0x80};
    expected.resize(21, 0);
    EXPECT_EQ(card.command(0), expected);
    // key 49 is the top bit of byte 6
    EXPECT_EQ(card.command(1)[5 + 6], 0x80);
    // keys 48-79: the last bit of byte 5, bytes 6-8 whole, the first seven bits of byte 9
    const Bytes block(card.command(2).begin() + 5, card.command(2).end());
    EXPECT_EQ(block, (Bytes{0, 0, 0, 0, 0, 0x01, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(clearKeySlot(context, 0), result::kBadArgumentOrTransport);
    EXPECT_EQ(clearKeySlot(context, 128), result::kBadArgumentOrTransport);
    for (const auto& sent : card.sent()) EXPECT_EQ(sent.flag, 0u);
}

}  // namespace
}  // namespace korva::card
