// Every exchange costs a real card 1 to 3 ms. The operations a host calls
// most send exactly the commands of their sequences: the count of each,
// taken from the test host's exchange log on an initialised token, is
// pinned here, so that an extra command fails a test instead of slowing
// every card.
#include "tests/objects/store_fixture.h"

#include <korva/pkcs11_constants.h>

#include <functional>
#include <string>

namespace korva::test {
namespace {

class ExchangeCountTest : public StoreTest {
protected:
    void generateGostPair() {
        Template pub, priv;
        const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
        abi::ObjectSummary publicSummary{}, privateSummary{};
        EXPECT_EQ(slots().generateKeyPair(host->context(), user(), host->settings(), pub.data(), pub.size(),
                                          priv.data(), priv.size(), &mechanism, &publicKey, &privateKey,
                                          &publicSummary, &privateSummary),
                  abi::CKR_OK);
    }

    void signHash() {
        const Bytes hash(32, 0x5A);
        Bytes signature(64);
        abi::CK_ULONG length = signature.size();
        EXPECT_EQ(slots().sign(host->context(), user(), nullptr, hash.data(), abi::CK_ULONG(hash.size()),
                               signature.data(), &length, &privateKey, &signingState, abi::CKM_GOSTR3410),
                  abi::CKR_OK);
    }

    void createDataObject() {
        mustCreate(dataObject("data " + std::to_string(dataObjects), Bytes(8, uint8_t(dataObjects))));
        ++dataObjects;
    }

    abi::ObjectHandle publicKey{}, privateKey{};
    abi::OperationRecord signingState{};
    int dataObjects = 0;
};

TEST_F(ExchangeCountTest, OperationsSendOnlyTheirSequences) {
    struct Case {
        const char* operation;
        std::function<void()> before;  // not counted
        std::function<void()> run;
        size_t exchanges;
    };
    const std::function<void()> nothing = [] {};
    const std::vector<Case> cases = {
        {"token information", nothing,
         [&] {
             abi::CK_TOKEN_INFO info{};
             EXPECT_EQ(slots().getTokenInfo(host->context(), host->settings(), &info), abi::CKR_OK);
         },
         9},
        {"login", nothing,
         [&] {
             EXPECT_EQ(slots().login(host->context(), host->settings(), reinterpret_cast<const uint8_t*>(kUserPin),
                                     8, abi::CKU_USER),
                       abi::CKR_OK);
         },
         4},
        {"generating a GOST key pair", nothing, [&] { generateGostPair(); }, 34},
        {"signing a hash",
         [&] {
             const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410, nullptr, 0};
             EXPECT_EQ(slots().signInit(host->context(), nullptr, nullptr, &mechanism, &privateKey, &signingState),
                       abi::CKR_OK);
         },
         [&] { signHash(); }, 11},
        {"all attributes of a GOST private key", nothing, [&] { EXPECT_TRUE(readAll(privateKey)); }, 6},
        {"the first data object, which makes its directory", nothing, [&] { createDataObject(); }, 18},
        {"a data object without directory growth", nothing, [&] { createDataObject(); }, 16},
        {"a data object that grows its directory", [&] { createDataObject(); }, [&] { createDataObject(); }, 25},
        {"a search over 20 objects",
         [&] {
             while (dataObjects < 18) createDataObject();
         },
         [&] { EXPECT_EQ(findAll().size(), 20u); }, 125},
    };
    for (const Case& c : cases) {
        c.before();
        host->clearExchanges();
        c.run();
        EXPECT_EQ(host->exchanges().size(), c.exchanges) << c.operation << ":\n" << ::testing::PrintToString(host->commandLog());
    }
}

}  // namespace
}  // namespace korva::test
