// Every exchange costs a real card 1 to 3 ms. Operations send exactly the
// commands of their sequences: the count of each (a cipher's includes the
// three of its initialisation, an unwrap's and a derivation's the creation
// of the new key),
// taken from the test host's exchange log on an initialised token, is
// pinned here, so that an extra command fails a test instead of slowing
// every card.
#include "tests/ciphers/cipher_fixture.h"

#include <korva/pkcs11_constants.h>

#include <cstring>

#include <functional>
#include <string>

namespace korva::test {
namespace {

class ExchangeCountTest : public CipherTest {
protected:
    void generatePair(uint32_t mechanismType, abi::ObjectHandle& pub, abi::ObjectHandle& priv,
                      const std::string& id = {}) {
        Template publicTemplate, privateTemplate;
        if (mechanismType == abi::CKM_RSA_PKCS_KEY_PAIR_GEN) publicTemplate.number(abi::CKA_MODULUS_BITS, 1024);
        if (!id.empty()) {
            publicTemplate.text(abi::CKA_ID, id);
            privateTemplate.text(abi::CKA_ID, id).flag(abi::CKA_DERIVE, true);
        }
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        abi::ObjectSummary publicSummary{}, privateSummary{};
        EXPECT_EQ(slots().generateKeyPair(host->context(), user(), host->settings(), publicTemplate.data(),
                                          publicTemplate.size(), privateTemplate.data(), privateTemplate.size(),
                                          &mechanism, &pub, &priv, &publicSummary, &privateSummary),
                  abi::CKR_OK);
    }
    void generateGostPair() { generatePair(abi::CKM_GOSTR3410_KEY_PAIR_GEN, publicKey, privateKey); }

    abi::ObjectHandle gostSecretKey(bool mayLeave) {
        Template extra;
        extra.flag(abi::CKA_EXTRACTABLE, mayLeave);
        return makeKey({abi::CKK_GOST28147, 32}, keyBytes, std::move(extra));
    }

    void wrap() {
        abi::CK_MECHANISM mechanism{abi::CKM_GOST28147_KEY_WRAP, nullptr, 0};
        abi::CK_ULONG length = abi::CK_ULONG(wrapped.size());
        EXPECT_EQ(slots().wrapKey(host->context(), user(), nullptr, &mechanism, &wrapping, &extractable, wrapped.data(),
                                  &length),
                  abi::CKR_OK);
    }

    // Only the unwrap's own exchanges, up to the creation path it hands the
    // key to: the count stops where the creation's requests begin.
    void unwrap() {
        abi::CK_MECHANISM mechanism{abi::CKM_GOST28147_KEY_WRAP, nullptr, 0};
        Template tmpl;
        tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY);
        abi::ObjectHandle handle{};
        abi::ObjectSummary summary{};
        EXPECT_EQ(slots().unwrapKey(host->context(), user(), host->settings(), &mechanism, &wrapping, wrapped.data(),
                                    abi::CK_ULONG(wrapped.size()), tmpl.data(), tmpl.size(), &handle, &summary),
                  abi::CKR_OK);
    }

    void derive() {
        Bytes parameter = inlineDeriveParameter(peer, Bytes(8, 0x11));
        abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410_DERIVE, parameter.data(), uint32_t(parameter.size())};
        Template tmpl;
        tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, abi::CKK_GOST28147);
        abi::ObjectHandle handle{};
        abi::ObjectSummary summary{};
        EXPECT_EQ(slots().deriveKey(host->context(), user(), host->settings(), &mechanism, &agreeingPrivate,
                                    tmpl.data(), tmpl.size(), &handle, &summary),
                  abi::CKR_OK);
    }

    void encrypt(uint32_t mechanism, const abi::ObjectHandle& key) {
        EXPECT_EQ(once(Direction::kEncrypt, mechanism, key, Bytes(ivLengthOf(mechanism), 1), Bytes(32, 7)).rv,
                  abi::CKR_OK);
    }

    void reinitialise() {
        const std::string soPin = "87654321", label(32, 'x');
        const auto text = [](const std::string& value) { return reinterpret_cast<const uint8_t*>(value.data()); };
        EXPECT_EQ(slots().initTokenFull(host->context(), text(soPin), 8, text(label), 1, 4, 2, 0, 3, 0, 3, 0, 6, 0, 3,
                                        0, 3, 0, 0),
                  abi::CKR_OK);
    }

    abi::ObjectHandle wrapping{}, extractable{};
    Bytes wrapped = Bytes(36);

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

    abi::ObjectHandle dataHandle() { return {1, 0x50, 0x07}; }

    abi::ObjectHandle publicKey{}, privateKey{}, agreeingPublic{}, agreeingPrivate{}, rsaPublic{}, rsaPrivate{},
        twoKey{}, threeKey{}, certificateHandle{};
    Bytes keyBytes, peer;
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
             EXPECT_EQ(slots().login(host->context(), host->settings(), reinterpret_cast<const uint8_t*>(kUserPin), 8,
                                     abi::CKU_USER),
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
        {"destroying a data object", nothing, [&] { EXPECT_EQ(destroy(dataHandle()), abi::CKR_OK); }, 12},
        {"wrapping a GOST 28147-89 key",
         [&] {
             wrapping = gostSecretKey(false);
             extractable = gostSecretKey(true);
         },
         [&] { wrap(); }, 12},
        {"unwrapping it", nothing, [&] { unwrap(); }, 8 + 17},
        {"deriving a key",
         [&] {
             generatePair(abi::CKM_GOSTR3410_KEY_PAIR_GEN, agreeingPublic, agreeingPrivate, "agree");
             peer = readAll(agreeingPublic)->get(abi::CKA_VALUE).value_or(Bytes{});
         },
         [&] { derive(); }, 35},
        {"triple DES with a two-key key on the card",
         [&] {
             twoKey = makeKey({abi::CKK_DES2, 16}, keyBytes);
         },
         [&] { encrypt(abi::CKM_DES3_ECB, twoKey); }, 3 + 11},
        {"triple DES with a three-key key in software",
         [&] {
             threeKey = makeKey({abi::CKK_DES3, 24, KeyHome::kTokenDes3}, keyBytes);
         },
         [&] { encrypt(abi::CKM_DES3_ECB, threeKey); }, 3 + 8},
        {"GOST 28147-89 ECB", nothing, [&] { encrypt(abi::CKM_GOST28147_ECB, extractable); }, 3 + 6},
        {"destroying a GOST private key", nothing, [&] { EXPECT_EQ(destroy(privateKey), abi::CKR_OK); }, 15},
        {"an RSA key pair", nothing, [&] { generatePair(abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic, rsaPrivate); }, 32},
        {"a private key of its own", [&] { mustCreate(StoreTest::publicKey("own")); },
         [&] { mustCreate(StoreTest::privateKey("own")); }, 28},
        // The body in the certificate subdirectory, the record there (reached
        // through the application subdirectory), the counters, then the name
        // map entry the key "own" gave it.
        {"destroying a certificate", [&] { certificateHandle = mustCreate(certificate("own")); },
         [&] { EXPECT_EQ(destroy(certificateHandle), abi::CKR_OK); }, 22},
        {"RSA decryption",
         // A key pair found by its own CKA_ID: keys without one pair with
         // the first key that has none either.
         [&] { generatePair(abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic, rsaPrivate, "rsa"); },
         [&] {
             EXPECT_EQ(once(Direction::kDecrypt, abi::CKM_RSA_X_509, rsaPrivate, {}, Bytes(128, 0x01)).rv, abi::CKR_OK);
         },
         // The length query reads the key's record after the login step;
         // the decryption reads it again, finds the public key of the same
         // CKA_ID (the key files are numbered after it; here record 5, so
         // five reads) and reads the private exponent and the public key.
         3 + 6 + 10 + 5},
        {"re-initialising the token", nothing, [&] { reinitialise(); }, 52},
    };
    for (const Case& c : cases) {
        c.before();
        host->clearExchanges();
        c.run();
        EXPECT_EQ(host->exchanges().size(), c.exchanges) << c.operation << ":\n"
                                                         << ::testing::PrintToString(host->commandLog());
    }
}

}  // namespace
}  // namespace korva::test
