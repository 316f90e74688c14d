// Proves the test host itself: its transport reaches the card and records
// what it saw, its faults land where asked, and card files survive it.
#include "tests/support/temp_path.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <array>

namespace korva::test {
namespace {

constexpr uint32_t kCapacity = 258;

// Sends one command through the host's callback exactly as the module does.
struct Sent {
    uint32_t rc = 0;
    Bytes data;
    uint32_t length = 0;
    uint16_t sw = 0;
};

Sent send(TestHost& host, const std::string& commandHex, uint32_t flag = 1, uint32_t capacity = kCapacity) {
    Bytes command = fromHex(commandHex);
    std::array<uint8_t, kCapacity> response{};
    Sent out;
    out.length = capacity;
    uint8_t sw1 = 0, sw2 = 0;
    abi::HostContext context = host.context();
    out.rc = context.transmit(context, command.data(), static_cast<uint32_t>(command.size()), response.data(),
                              &out.length, &sw1, &sw2, flag, 0);
    out.sw = static_cast<uint16_t>(sw1 << 8 | sw2);
    if (out.rc == 0) out.data.assign(response.begin(), response.begin() + std::min<uint32_t>(out.length, kCapacity));
    return out;
}

const std::string kIdentity = "80 FE 06 00";
const std::string kIdentityResponse = "00 C0 00 00 08";
const std::string kResetSecurity = "80 52 00 00";

TEST(TestHostTransport, DeliversTheCardsAnswerAndRecordsTheExchange) {
    TestHost host;
    Sent first = send(host, kIdentity, 0);
    Sent second = send(host, kIdentityResponse, 0);

    EXPECT_EQ(first.rc, 0u);
    EXPECT_EQ(first.sw, 0x6120);
    ASSERT_EQ(second.rc, 0u);
    EXPECT_EQ(second.sw, 0x6118);
    auto identity = host.card().identity();
    EXPECT_EQ(second.data, Bytes(identity.begin(), identity.end()));

    ASSERT_EQ(host.exchanges().size(), 2u);
    const Exchange& ex = host.exchanges()[1];
    EXPECT_EQ(hex(ex.command), kIdentityResponse);
    EXPECT_EQ(ex.flag, 0u);
    EXPECT_EQ(ex.capacity, kCapacity);
    EXPECT_EQ(ex.response, second.data);
    EXPECT_EQ(ex.reportedLength, 8u);
    EXPECT_EQ(ex.sw(), 0x6118);
    EXPECT_TRUE(ex.reachedCard);
    EXPECT_FALSE(ex.faulted);
}

TEST(TestHostTransport, RefusesAnAnswerLongerThanTheCapacity) {
    TestHost host;
    send(host, kIdentity, 0);
    Sent sent = send(host, kIdentityResponse, 0, 2);
    EXPECT_EQ(sent.rc, TestHost::kRcAnswerTooLong);
    EXPECT_TRUE(host.lastExchange().response.empty());
}

TEST(TestHostTransport, IgnoresContextsItDidNotIssue) {
    TestHost host;
    abi::HostContext forged = host.context();
    forged.hostB ^= 1;
    uint8_t command[] = {0x80, 0x52, 0x00, 0x00};
    uint8_t response[4];
    uint32_t length = sizeof response;
    uint8_t sw1, sw2;
    EXPECT_NE(forged.transmit(forged, command, sizeof command, response, &length, &sw1, &sw2, 1, 0), 0u);
    EXPECT_TRUE(host.exchanges().empty());
}

TEST(TestHostFaults, FailAtCountsExchangesFromNow) {
    TestHost host;
    send(host, kResetSecurity);
    host.failAt(2, Fault::transport(7));

    EXPECT_EQ(send(host, kResetSecurity).rc, 0u);
    EXPECT_EQ(send(host, kResetSecurity).rc, 7u);
    EXPECT_EQ(send(host, kResetSecurity).rc, 0u);

    ASSERT_EQ(host.exchanges().size(), 4u);
    EXPECT_TRUE(host.exchanges()[2].faulted);
    EXPECT_FALSE(host.exchanges()[2].reachedCard);
    EXPECT_FALSE(host.exchanges()[3].faulted);
}

TEST(TestHostFaults, PatternFaultsHitMatchingCommandsOnly) {
    TestHost host;
    host.failOn("80 FE", Fault::status(0x6A, 0x82), 2);

    EXPECT_EQ(send(host, kResetSecurity).sw, 0x9000);
    EXPECT_EQ(send(host, kIdentity, 0).sw, 0x6A82);
    EXPECT_EQ(send(host, kIdentity, 0).sw, 0x6A82);
    EXPECT_EQ(send(host, kIdentity, 0).sw, 0x6120);  // two were asked for

    host.failOn("80 FE", Fault::answer({1, 2, 3}, 0x90, 0x00), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(send(host, kIdentity, 0).data, (Bytes{1, 2, 3}));
    host.clearFaults();
    EXPECT_EQ(send(host, kIdentity, 0).sw, 0x6120);
}

TEST(TestHostFaults, ReshapesTheCardsAnswer) {
    TestHost host;
    auto identity = host.card().identity();
    const Bytes id(identity.begin(), identity.end());

    send(host, kIdentity, 0);
    host.failAt(1, Fault::truncate(3));
    Sent cut = send(host, kIdentityResponse, 0);
    EXPECT_EQ(cut.data, Bytes(id.begin(), id.begin() + 3));
    EXPECT_EQ(cut.sw, 0x6118);
    EXPECT_TRUE(host.lastExchange().reachedCard);

    send(host, kIdentity, 0);
    host.failAt(1, Fault::overlong({0xAA, 0xBB}));
    Sent longer = send(host, kIdentityResponse, 0);
    Bytes expected = id;
    expected.insert(expected.end(), {0xAA, 0xBB});
    EXPECT_EQ(longer.data, expected);

    // A faulty host that claims more bytes than the buffer it was given.
    send(host, kIdentity, 0);
    host.failAt(1, Fault::reportLength(kCapacity + 10));
    Sent lying = send(host, kIdentityResponse, 0);
    EXPECT_EQ(lying.rc, 0u);
    EXPECT_EQ(lying.length, kCapacity + 10);
    EXPECT_EQ(host.lastExchange().response, id);
}

TEST(TestHostCard, CardFileSurvivesSaveAndLoad) {
    TempPath file("test-host-card");
    Bytes identity;
    std::string tree;
    {
        TestHost host;
        // A numbered data file 01 05 of 4 bytes in 05 1E, written through the host.
        EXPECT_EQ(send(host, "00 A4 08 00 02 05 1E").sw, 0x9000);
        EXPECT_EQ(
            send(host, "00 E0 00 00 18 62 16 80 02 00 04 82 01 01 83 02 01 05 86 06 FF FF 05 00 00 FF 8A 01 05").sw,
            0x9000);
        EXPECT_EQ(send(host, "00 D6 00 00 04 DE AD BE EF").sw, 0x9000);
        host.saveCard(file);
        auto id = host.card().identity();
        identity.assign(id.begin(), id.end());
        tree = host.card().dumpTree();
    }
    auto host = TestHost::withCardFile(file);
    EXPECT_EQ(host->card().dumpTree(), tree);
    send(*host, kIdentity, 0);
    EXPECT_EQ(send(*host, kIdentityResponse, 0).data, identity);
    EXPECT_EQ(send(*host, "00 A4 08 00 04 05 1E 01 05").sw, 0x9000);
    Sent body = send(*host, "00 B0 00 00 04");
    EXPECT_EQ(body.sw, 0x9000);
    EXPECT_EQ(body.data, fromHex("DE AD BE EF"));
}

TEST(TestHostModule, SlotCallsReachTheCardThroughTheCallback) {
    TestHost host;
    EXPECT_EQ(host.table()->resetSecurityState(host.context()), abi::CKR_OK);
    ASSERT_EQ(host.exchanges().size(), 1u);
    EXPECT_EQ(hex(host.lastExchange().command), kResetSecurity);
    EXPECT_EQ(host.lastExchange().flag, 1u);
    EXPECT_TRUE(host.lastExchange().reachedCard);

    host.failAt(1, Fault::transport());
    EXPECT_EQ(host.table()->resetSecurityState(host.context()), abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(host.exchanges().size(), 2u);

    // A host that claims more bytes than the buffer holds has failed, even
    // with 90 00: the module must not believe it.
    host.failAt(1, Fault::reportLength(kCapacity + 1));
    EXPECT_EQ(host.table()->resetSecurityState(host.context()), abi::CKR_FUNCTION_FAILED);
}

TEST(TestHostRecords, LoginRecordsCarryTypeAndPin) {
    TestHost host;
    abi::LoginRecord* user = host.login(1, "12345678");
    EXPECT_EQ(user->userType, 1);
    EXPECT_EQ(user->pinLength, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(user->pin), 8), "12345678");
    EXPECT_EQ(host.noLogin()->pinLength, 0u);
}

}  // namespace
}  // namespace korva::test
