#include "token/login.h"
#include "session/pin.h"

#include "tests/card/fake_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace korva::token {
namespace {

using testing::Bytes;
using testing::FakeCard;

const Bytes kPin = {'1', '2', '3', '4', '5', '6'};
const Bytes kVerifyUser = {0x00, 0x20, 0x00, 0x07, 0x08, '1', '2', '3', '4', '5', '6', 0xFF, 0xFF};

CardResult verifyWith(FakeCard& card, const Bytes& pin, uint32_t userType = user_type::kUser) {
    CardContext context(card.host());
    return verify(context, pin, userType);
}

TEST(Verify, SendsThePinBlockAndMapsTheCardsAnswer) {
    FakeCard good;
    good.ok();
    EXPECT_EQ(verifyWith(good, kPin), result::kOk);
    ASSERT_EQ(good.sent().size(), 1u);
    EXPECT_EQ(good.command(0), kVerifyUser);
    EXPECT_EQ(good.sent()[0].flag, 1u);

    FakeCard wrong;
    wrong.answer(0x63C2);
    EXPECT_EQ(verifyWith(wrong, kPin), result::kPinIncorrect);
    FakeCard blocked;
    blocked.answer(0x6983);
    EXPECT_EQ(verifyWith(blocked, kPin), result::kPinBlocked);
    // 63 0x is a warning, not a retry count.
    FakeCard warning;
    warning.answer(0x6302);
    EXPECT_EQ(verifyWith(warning, kPin), result::kUnexpected);
    FakeCard so;
    so.ok();
    verifyWith(so, kPin, user_type::kSecurityOfficer);
    EXPECT_EQ(so.command(0)[3], 0x05);
}

TEST(Verify, PinLongerThanTheBlockIsIncorrectWithoutTraffic) {
    FakeCard card;
    EXPECT_EQ(verifyWith(card, Bytes(9, '1')), result::kPinIncorrect);
    EXPECT_TRUE(card.sent().empty());
}

TEST(Verify, LoginFlagsSelectAroundTheCommandAndThePinLeavesNoTrace) {
    FakeCard card;
    card.ok().ok().ok();
    CardContext context(card.host());
    context.loginFlags = login_flags::kSelectPinDirectoryFirst | login_flags::kSelectSubdirectoryAfter;
    EXPECT_EQ(verify(context, kPin, user_type::kUser), result::kOk);
    ASSERT_EQ(card.sent().size(), 3u);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x02, 0x05, 0x1F}));
    EXPECT_EQ(card.command(1), kVerifyUser);
    EXPECT_EQ(card.command(2), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x04, 0xA1, 0xBC, 0x7F, 0x01}));
    const Bytes pinBytes = {'1', '2', '3', '4', '5', '6'};
    EXPECT_EQ(std::search(context.command.begin(), context.command.end(), pinBytes.begin(), pinBytes.end()),
              context.command.end());

    // A failing selection after the VERIFY outranks its answer.
    FakeCard lost;
    lost.ok().answer(0x63C1).answer(0x6A82);
    CardContext second(lost.host());
    second.loginFlags = login_flags::kSelectPinDirectoryFirst | login_flags::kSelectApplicationAfter;
    EXPECT_EQ(verify(second, kPin, user_type::kUser), result::kBadArgumentOrTransport);
    EXPECT_EQ(lost.command(2), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x02, 0xA1, 0xBC}));
}

TEST(RetriesLeft, ReadsTheCountFromTheStatusWord) {
    struct Case {
        uint16_t sw;
        CardResult rc;
        uint8_t count;
    };
    for (const Case c : {Case{0x63C3, result::kOk, 3}, Case{0x63C1, result::kOk, 1}, Case{0x9000, result::kOk, 0xFF},
                         Case{0x6983, result::kOk, 0}, Case{0x6A88, result::kUnexpected, 0x77}}) {
        FakeCard card;
        card.answer(c.sw);
        CardContext context(card.host());
        uint8_t count = 0x77;
        EXPECT_EQ(retriesLeft(context, false, count), c.rc) << std::hex << c.sw;
        EXPECT_EQ(count, c.count) << std::hex << c.sw;
        EXPECT_EQ(card.command(0), (Bytes{0x00, 0x20, 0x00, 0x05, 0x00}));
    }
}

TEST(LoginWith, OnlyRealCredentialsReachTheCard) {
    FakeCard card;
    CardContext context(card.host());
    abi::LoginRecord record{};
    EXPECT_EQ(loginWith(context, nullptr), result::kOk);
    record.userType = 2;
    record.pinLength = 4;
    EXPECT_EQ(loginWith(context, &record), result::kOk);
    record.userType = 1;
    record.pinLength = 0;
    EXPECT_EQ(loginWith(context, &record), result::kOk);
    // A length word beyond the 103-byte field must not be followed.
    record.pinLength = 0x1000;
    EXPECT_EQ(loginWith(context, &record), result::kPinIncorrect);
    EXPECT_TRUE(card.sent().empty());

    card.ok().ok().ok();
    record.pinLength = 6;
    std::memcpy(record.pin, "123456", 6);
    EXPECT_EQ(loginWith(context, &record), result::kOk);
    EXPECT_EQ(card.sent().size(), 3u);
    EXPECT_EQ(context.loginFlags, 0x05);
}

TEST(LoginSlot, MapsPinErrorsAndRefusesLongPinsWithoutTraffic) {
    const uint8_t pin[] = "123456789";
    FakeCard quiet;
    EXPECT_EQ(login(quiet.host(), pin, 9, user_type::kUser), abi::CKR_PIN_INCORRECT);
    EXPECT_TRUE(quiet.sent().empty());

    FakeCard wrong;
    wrong.ok().answer(0x63C2);
    EXPECT_EQ(login(wrong.host(), pin, 6, user_type::kUser), abi::CKR_PIN_INCORRECT);
    FakeCard blocked;
    blocked.ok().answer(0x6983);
    EXPECT_EQ(login(blocked.host(), pin, 6, user_type::kUser), abi::CKR_PIN_LOCKED);
    FakeCard refused;
    refused.ok().answer(0x6F00);
    EXPECT_EQ(login(refused.host(), pin, 6, user_type::kUser), abi::CKR_FUNCTION_FAILED);
    FakeCard good;
    good.ok().ok();
    EXPECT_EQ(login(good.host(), pin, 6, user_type::kUser), abi::CKR_OK);
}

TEST(PinSlots, CheckArgumentsBeforeAnyTraffic) {
    FakeCard card;
    const uint8_t pin[] = "12345678";
    uint8_t settingsBytes[17] = {};
    abi::HostByteVector settings{{}, settingsBytes, settingsBytes + 17, settingsBytes + 17};
    EXPECT_EQ(setPin(card.host(), &settings, pin, 3, pin, 6, 1), abi::CKR_PIN_INCORRECT);
    EXPECT_EQ(setPin(card.host(), &settings, pin, 6, pin, 9, 1), abi::CKR_PIN_LEN_RANGE);
    EXPECT_EQ(setPin(card.host(), &settings, nullptr, 6, pin, 6, 1), abi::CKR_ARGUMENTS_BAD);
    EXPECT_EQ(initUserPin(card.host(), nullptr, &settings, nullptr, 6), abi::CKR_ARGUMENTS_BAD);
    EXPECT_EQ(initUserPin(card.host(), nullptr, &settings, pin, 3), abi::CKR_PIN_LEN_RANGE);
    EXPECT_EQ(initUserPin(card.host(), nullptr, nullptr, pin, 6), abi::CKR_ARGUMENTS_BAD);
    EXPECT_EQ(openUserSession(nullptr, nullptr), abi::CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(card.sent().empty());
}

}  // namespace
}  // namespace korva::token
