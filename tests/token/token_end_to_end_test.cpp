// The token slots through the loaded module, with the virtual card behind
// the test host's transport.
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace korva::test {
namespace {

using abi::CK_RV;

const std::string kFactorySoPin = "87654321";
const std::string kFactoryUserPin = "12345678";
const std::string kDefaultUserPin = "47102958";
const std::string kLabel = "End-to-end token                ";

const uint8_t* bytes(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

class TokenEndToEnd : public ::testing::Test {
protected:
    explicit TokenEndToEnd(const sim::CardOptions& options = {}) : host_(options) {}

    const abi::ModuleFunctionTable& slots() { return *host_.table(); }

    CK_RV initialise(const std::string& soPin = kFactorySoPin) {
        return slots().initToken(host_.context(), bytes(soPin), static_cast<abi::CK_ULONG>(soPin.size()),
                                 bytes(kLabel));
    }

    // Slot 52 with the default values except the settings flags and the
    // container count.
    CK_RV initialiseFull(abi::CK_ULONG containers, abi::CK_ULONG flags) {
        return slots().initTokenFull(host_.context(), bytes(kFactorySoPin), 8, bytes(kLabel), 1, 3, 3, 0, 3, 0, 3, 0,
                                     containers, 0, 3, 0, 3, 0, flags);
    }

    // What the host does after an initialisation: keep the settings record.
    void adoptSettings() {
        std::vector<uint8_t> settings(17);
        abi::CK_ULONG length = 17;
        ASSERT_EQ(slots().readTokenSettings(host_.context(), settings.data(), &length), abi::CKR_OK);
        host_.setSettings(settings);
    }

    abi::CK_TOKEN_INFO tokenInfo() {
        abi::CK_TOKEN_INFO info{};
        EXPECT_EQ(slots().getTokenInfo(host_.context(), host_.settings(), &info), abi::CKR_OK);
        return info;
    }

    CK_RV login(const std::string& pin, abi::CK_USER_TYPE userType = 1) {
        return slots().login(host_.context(), host_.settings(), bytes(pin), static_cast<abi::CK_ULONG>(pin.size()),
                             userType);
    }

    CK_RV setPin(const std::string& oldPin, const std::string& newPin, abi::CK_USER_TYPE userType = 1) {
        return slots().setPin(host_.context(), host_.settings(), bytes(oldPin),
                              static_cast<abi::CK_ULONG>(oldPin.size()), bytes(newPin),
                              static_cast<abi::CK_ULONG>(newPin.size()), userType);
    }

    CK_RV initUserPin(const std::string& soPin, const std::string& pin) {
        return slots().initUserPin(host_.context(), host_.login(0, soPin), host_.settings(), bytes(pin),
                                   static_cast<abi::CK_ULONG>(pin.size()));
    }

    std::string serialOfCard() {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::string serial;
        for (uint8_t byte : host_.card().identity()) {
            serial += kDigits[byte >> 4];
            serial += kDigits[byte & 0x0F];
        }
        return serial;
    }

    TestHost host_;
};

std::string text(const uint8_t* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), size);
}

TEST_F(TokenEndToEnd, FreshCardThenInitialisedToken) {
    abi::CK_TOKEN_INFO fresh = tokenInfo();
    EXPECT_EQ(fresh.flags, abi::CKF_RNG | abi::CKF_LOGIN_REQUIRED);
    EXPECT_EQ(text(fresh.label, 32), std::string(32, ' '));
    EXPECT_EQ(fresh.ulFreePublicMemory, 0xFFFFFFFFu);

    ASSERT_EQ(initialise(), abi::CKR_OK);
    adoptSettings();
    const abi::CK_TOKEN_INFO info = tokenInfo();
    EXPECT_EQ(text(info.label, 32), kLabel);
    EXPECT_EQ(text(info.serialNumber, 16), serialOfCard());
    EXPECT_EQ(text(info.manufacturerID, 4), "LUMO");
    EXPECT_EQ(info.flags,
              abi::CKF_RNG | abi::CKF_LOGIN_REQUIRED | abi::CKF_USER_PIN_INITIALIZED | abi::CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(info.ulFreePrivateMemory, host_.card().freeMemory());

    // The user PIN is now the default one; the factory PIN is gone.
    EXPECT_EQ(login(kFactoryUserPin), abi::CKR_PIN_INCORRECT);
    EXPECT_EQ(login(kDefaultUserPin), abi::CKR_OK);
    // A failed try leaves nine; the good login restored ten, so no flag.
    EXPECT_EQ(tokenInfo().flags & (abi::CKF_USER_PIN_FINAL_TRY | abi::CKF_USER_PIN_LOCKED), 0u);
}

TEST_F(TokenEndToEnd, SettingsRecordAndItsSeparateBytes) {
    ASSERT_EQ(initialiseFull(15, 0x02), abi::CKR_OK);
    std::vector<uint8_t> settings(17);
    abi::CK_ULONG length = 16;
    EXPECT_EQ(slots().readTokenSettings(host_.context(), settings.data(), &length), abi::CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 17u);
    ASSERT_EQ(slots().readTokenSettings(host_.context(), settings.data(), &length), abi::CKR_OK);
    EXPECT_EQ(settings, (std::vector<uint8_t>{2, 1, 1, 3, 3, 0, 3, 0, 3, 0, 15, 0, 3, 0, 3, 0, 2}));
    uint8_t s8 = 0, flags = 0;
    EXPECT_EQ(
        slots().getTokenSettings(host_.context(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, &s8, nullptr, nullptr, nullptr, nullptr, nullptr, &flags),
        abi::CKR_OK);
    EXPECT_EQ(s8, 15);
    EXPECT_EQ(flags, 2);
    // 15 containers of 86 bytes and one byte more.
    EXPECT_NE(host_.card().dumpTree().find("70FD fd=01 lc=05 size=1291 "), std::string::npos);
}

TEST_F(TokenEndToEnd, PinsAreChangedAndTheUserPinUnblocked) {
    ASSERT_EQ(initialise(), abi::CKR_OK);
    adoptSettings();
    EXPECT_EQ(setPin(kDefaultUserPin, "2468"), abi::CKR_OK);
    EXPECT_EQ(login("2468"), abi::CKR_OK);
    EXPECT_EQ(setPin(kFactorySoPin, "13572468", 0), abi::CKR_OK);
    EXPECT_EQ(login("13572468", 0), abi::CKR_OK);

    // Block the user PIN, then let the security officer set a new one.
    for (int i = 0; i < 10; ++i) login("0000");
    EXPECT_EQ(login("2468"), abi::CKR_PIN_LOCKED);
    EXPECT_NE(tokenInfo().flags & abi::CKF_USER_PIN_LOCKED, 0u);
    EXPECT_EQ(initUserPin("13572468", "97531"), abi::CKR_OK);
    EXPECT_EQ(login("97531"), abi::CKR_OK);
    EXPECT_EQ(tokenInfo().flags & abi::CKF_USER_PIN_LOCKED, 0u);
}

TEST_F(TokenEndToEnd, WrongSoPinLeavesTheCardAsItWas) {
    ASSERT_EQ(initialise(), abi::CKR_OK);
    const std::string before = host_.card().dumpTree();
    EXPECT_EQ(initialise("11112222"), abi::CKR_PIN_INCORRECT);
    const std::string after = host_.card().dumpTree();
    // Only the SO PIN object (0005) may differ, by its retry counter.
    std::vector<std::string> changed;
    std::size_t a = 0, b = 0;
    while (a < before.size() && b < after.size()) {
        const std::size_t ea = before.find('\n', a), eb = after.find('\n', b);
        const std::string la = before.substr(a, ea - a), lb = after.substr(b, eb - b);
        if (la != lb) changed.push_back(la + " -> " + lb);
        if (ea == std::string::npos || eb == std::string::npos) break;
        a = ea + 1;
        b = eb + 1;
    }
    ASSERT_EQ(changed.size(), 1u) << ::testing::PrintToString(changed);
    EXPECT_EQ(changed[0].find("0005"), 4u) << changed[0];
    EXPECT_NE(changed[0].find("tries=10 "), std::string::npos) << changed[0];
    EXPECT_NE(changed[0].find("tries=9 "), std::string::npos) << changed[0];
}

TEST_F(TokenEndToEnd, ReinitialisingKeepsAndAdvancesTheFreshnessCounters) {
    ASSERT_EQ(initialise(), abi::CKR_OK);
    adoptSettings();
    ASSERT_EQ(setPin(kDefaultUserPin, "2468"), abi::CKR_OK);  // PIN change counter 0 -> 1
    ASSERT_EQ(initialise(), abi::CKR_OK);
    // The counters file now says 2 for the PIN change counter.
    ASSERT_EQ(login(kFactorySoPin, 0), abi::CKR_OK);
    host_.clearExchanges();
    ASSERT_EQ(setPin(kDefaultUserPin, "1357"), abi::CKR_OK);
    // The read of the 8-byte counter block shows the previous value.
    bool seen = false;
    for (const Exchange& e : host_.exchanges()) {
        if (e.command.size() == 5 && e.command[1] == 0xB0 && e.command[4] == 8) {
            ASSERT_GE(e.response.size(), 2u);
            EXPECT_EQ(e.response[1], 2);
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
}

TEST_F(TokenEndToEnd, DefaultPinTrackingFollowsTheUserPin) {
    ASSERT_EQ(initialiseFull(3, 0x02), abi::CKR_OK);
    adoptSettings();
    EXPECT_NE(tokenInfo().flags & abi::CKF_USER_PIN_TO_BE_CHANGED, 0u);
    ASSERT_EQ(setPin(kDefaultUserPin, "2468"), abi::CKR_OK);
    EXPECT_EQ(tokenInfo().flags & abi::CKF_USER_PIN_TO_BE_CHANGED, 0u);
    ASSERT_EQ(initUserPin(kFactorySoPin, kDefaultUserPin), abi::CKR_OK);
    EXPECT_NE(tokenInfo().flags & abi::CKF_USER_PIN_TO_BE_CHANGED, 0u);
}

TEST_F(TokenEndToEnd, NumberedDataFilesRoundTrip) {
    ASSERT_EQ(initialise(), abi::CKR_OK);
    abi::CK_ULONG length = 99;
    EXPECT_EQ(slots().readDataFile(host_.context(), 7, nullptr, &length), abi::CKR_OK);
    EXPECT_EQ(length, 0u);
    const std::vector<uint8_t> data(40, 0x5A);
    ASSERT_EQ(slots().writeDataFile(host_.context(), host_.login(1, kDefaultUserPin), 7, data.data(), 40), abi::CKR_OK);
    std::vector<uint8_t> read(40);
    length = 40;
    ASSERT_EQ(slots().readDataFile(host_.context(), 7, read.data(), &length), abi::CKR_OK);
    EXPECT_EQ(read, data);
    EXPECT_EQ(slots().writeDataFile(host_.context(), host_.login(1, kDefaultUserPin), 7, data.data(), 0),
              abi::CKR_ARGUMENTS_BAD);
    const std::vector<uint8_t> tooLong(41, 1);
    EXPECT_EQ(slots().writeDataFile(host_.context(), host_.login(1, kDefaultUserPin), 7, tooLong.data(), 41),
              abi::CKR_DATA_LEN_RANGE);
    EXPECT_EQ(slots().writeDataFile(host_.context(), host_.login(1, kDefaultUserPin), 7, nullptr, 0), abi::CKR_OK);
    length = 99;
    EXPECT_EQ(slots().readDataFile(host_.context(), 7, nullptr, &length), abi::CKR_OK);
    EXPECT_EQ(length, 0u);
}

TEST_F(TokenEndToEnd, SessionSetUpAndSecurityReset) {
    ASSERT_EQ(initialise(), abi::CKR_OK);
    EXPECT_EQ(slots().openUserSession(host_.contextPointer(), host_.login(1, kDefaultUserPin)), abi::CKR_OK);
    EXPECT_EQ(slots().openUserSession(host_.contextPointer(), host_.login(1, "0000")), abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(slots().resetSecurityState(host_.context()), abi::CKR_OK);
}

TEST_F(TokenEndToEnd, A2012CardListsAllMechanisms) {
    abi::CK_ULONG count = 0;
    ASSERT_EQ(slots().getMechanismList(host_.context(), nullptr, nullptr, &count), abi::CKR_OK);
    EXPECT_EQ(count, 36u);
}

class Gost2001Card : public TokenEndToEnd {
protected:
    Gost2001Card() : TokenEndToEnd(only2001()) {}
    static sim::CardOptions only2001() {
        sim::CardOptions options;
        options.gost2012 = false;
        return options;
    }
};

TEST_F(Gost2001Card, ListsOnlyThe2001Mechanisms) {
    abi::CK_ULONG count = 0;
    ASSERT_EQ(slots().getMechanismList(host_.context(), nullptr, nullptr, &count), abi::CKR_OK);
    EXPECT_EQ(count, 29u);
    std::vector<abi::MechanismInfoEntry> entries(29);
    ASSERT_EQ(slots().getMechanismsWithInfo(host_.context(), nullptr, entries.data(), &count), abi::CKR_OK);
    EXPECT_EQ(entries[6].type, abi::CKM_RSA_PKCS);
    EXPECT_EQ(entries[6].flags, 0x7801u);
    EXPECT_EQ(entries.back().type, abi::CKM_GOST28147_KEY_WRAP);
    abi::CK_MECHANISM_INFO info{};
    EXPECT_EQ(slots().getMechanismInfo(host_.context(), nullptr, abi::CKM_GOSTR3411_12_256, &info),
              abi::CKR_MECHANISM_INVALID);
}

}  // namespace
}  // namespace korva::test
