#include "tests/card/fake_card.h"

#include "card/security_env.h"

#include <gtest/gtest.h>

namespace korva {
namespace {

using testing::Bytes;
using testing::FakeCard;

Bytes commandOf(std::size_t length) {
    Bytes apdu = testing::counting(length, 0x30);
    apdu[0] = 0x00;
    apdu[1] = 0xDA;
    return apdu;
}

TEST(ChainedSending, CommandOf260BytesGoesOutDirectlyWithFlag1) {
    FakeCard card;
    card.ok();
    CardContext context(card.host());
    const Bytes apdu = commandOf(260);
    ASSERT_EQ(sendChained(context, apdu), result::kOk);
    ASSERT_EQ(card.sent().size(), 1u);
    EXPECT_EQ(card.command(0), apdu);
    EXPECT_EQ(card.sent()[0].flag, 1u);
}

TEST(ChainedSending, CommandOf261BytesTravelsInEnvelopes) {
    FakeCard card;
    card.ok().ok().answer(0x9000, {0xAB});
    CardContext context(card.host());
    const Bytes apdu = commandOf(261);
    ASSERT_EQ(sendChained(context, apdu), result::kOk);
    ASSERT_EQ(card.sent().size(), 3u);

    const Bytes& first = card.command(0);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 5), (Bytes{0x00, 0xC2, 0x00, 0x00, 250}));
    EXPECT_EQ(Bytes(first.begin() + 5, first.end()), Bytes(apdu.begin(), apdu.begin() + 250));
    EXPECT_EQ(card.sent()[0].flag, 0u);

    const Bytes& second = card.command(1);
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 5), (Bytes{0x00, 0xC2, 0x00, 0x00, 11}));
    EXPECT_EQ(Bytes(second.begin() + 5, second.end()), Bytes(apdu.begin() + 250, apdu.end()));
    EXPECT_EQ(card.sent()[1].flag, 0u);

    EXPECT_EQ(card.command(2), (Bytes{0x00, 0xC2, 0x00, 0x00, 0x00}));
    EXPECT_EQ(card.sent()[2].flag, 1u);
    // The closing ENVELOPE carries the enveloped command's answer.
    EXPECT_EQ(context.responseLength, 1u);
    EXPECT_EQ(context.response[0], 0xAB);
}

TEST(ChainedSending, EnvelopePieceAnsweredWithDataOrRefusedStops) {
    const std::pair<uint16_t, Bytes> answers[] = {{0x9000, {0x01}}, {0x6700, {}}};
    for (const auto& [statusWord, data] : answers) {
        FakeCard card;
        card.answer(statusWord, data);
        CardContext context(card.host());
        EXPECT_EQ(sendChained(context, commandOf(300)), result::kUnexpected);
        EXPECT_EQ(card.sent().size(), 1u);
    }
}

TEST(ChainedSending, TransportFailureOfAnyPieceIsResult1) {
    for (std::size_t failing = 0; failing < 3; ++failing) {
        FakeCard card;
        for (std::size_t i = 0; i < failing; ++i) card.ok();
        card.failTransport(0x80100016);
        CardContext context(card.host());
        EXPECT_EQ(sendChained(context, commandOf(261)), result::kBadArgumentOrTransport) << "piece " << failing;
        EXPECT_EQ(card.sent().size(), failing + 1);
    }
}

TEST(Exchange, HostFailureCodeNeverPassesForACardResult) {
    // A host that fails with the value 2 must not look like "file not found".
    FakeCard card;
    card.failTransport(valueOf(result::kNotFound));
    CardContext context(card.host());
    EXPECT_EQ(korva::exchange(context, Bytes{0x00, 0x44, 0x00, 0x00}), result::kBadArgumentOrTransport);
    EXPECT_EQ(context.lastResult, valueOf(result::kNotFound));
}

TEST(Exchange, CommandLongerThanTheBufferIsRefusedUnsent) {
    FakeCard card;
    CardContext context(card.host());
    EXPECT_EQ(korva::exchange(context, Bytes(264, 0)), result::kBadArgumentOrTransport);
    EXPECT_TRUE(card.sent().empty());
}

TEST(Transmit, AnswerFillingTheWholeCapacityIsTaken) {
    FakeCard card;
    const Bytes full = testing::counting(CardContext::kResponseCapacity);
    card.ok(full);
    CardContext context(card.host());
    EXPECT_EQ(korva::exchange(context, Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}), result::kOk);
    EXPECT_EQ(card.sent()[0].capacity, CardContext::kResponseCapacity);
    EXPECT_EQ(Bytes(context.received().begin(), context.received().end()), full);
}

TEST(Transmit, HostReportingMoreThanTheCapacityIsATransportFailure) {
    FakeCard card;
    card.overreport(259);
    CardContext context(card.host());
    EXPECT_EQ(korva::exchange(context, Bytes{0x00, 0x84, 0x00, 0x00, 0x08}), result::kBadArgumentOrTransport);
    EXPECT_EQ(context.responseLength, 0u);
    EXPECT_TRUE(context.received().empty());
}

TEST(Transmit, SecurityEnvironmentGivesTheHostTwoBytes) {
    FakeCard card;
    card.ok().overreport(3);
    CardContext context(card.host());
    EXPECT_EQ(card::restoreSecurityEnvironment(context), result::kOk);
    EXPECT_EQ(card.sent()[0].capacity, 2u);
    EXPECT_EQ(card::restoreSecurityEnvironment(context), result::kBadArgumentOrTransport);
    EXPECT_EQ(context.responseLength, 0u);
}

}  // namespace
}  // namespace korva
