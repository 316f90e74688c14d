// Slot 43 through the loaded module on the virtual card: two GOST key pairs
// on the token agree on one key from each other's public keys and the same
// UKM, the value the GOST engine's VKO gives for the same keys; the
// mechanism and its parameter are checked before the card is used.
#include "tests/sim_crypto/engine_keys.h"
#include "tests/keys/secret_key_fixture.h"
#include "tests/support/stack_probe.h"

#include <cstring>

namespace korva::test {
namespace {

using abi::CK_RV;

// DER of the parameter sets the agreements use.
const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
const Bytes kGost94Digest = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
const Bytes kTc26A256 = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x01, 0x01};
const Bytes kTc26A512 = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x01};

struct Agreement {
    const char* name;
    uint32_t pairMechanism;
    Bytes curve;
    Bytes digest;  // empty: the mechanism's default
    uint8_t code;  // the card's curve code, which also tells the engine's key kind
    size_t keySize;
    uint32_t deriveMechanism;
    size_t ukmLength;  // the engine takes UKMs of 8 bytes only
};

const Agreement kAgreements[] = {
    {"Gost2001", abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, kGost94Digest, 2, 32, abi::CKM_GOSTR3410_DERIVE, 8},
    {"Gost2012", abi::CKM_GOSTR3410_KEY_PAIR_GEN, kTc26A256, {}, 5, 32, abi::CKM_GOSTR3410_12_DERIVE, 8},
    {"Gost2012LongUkm", abi::CKM_GOSTR3410_KEY_PAIR_GEN, kTc26A256, {}, 5, 32, abi::CKM_GOSTR3410_12_DERIVE, 32},
    {"Gost2012Wide", abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, kTc26A512, {}, 9, 64, abi::CKM_GOSTR3410_12_DERIVE, 8},
};

class DerivationTest : public SecretKeyTest {
protected:
    struct Party {
        abi::ObjectHandle privateKey{};
        Bytes publicKey;  // CKA_VALUE: X then Y, each little-endian
        Bytes secret;     // big-endian, from the card's own state
    };

    Party makeParty(const Agreement& a, const std::string& id, bool derive = true) {
        Template pub, priv;
        pub.text(abi::CKA_ID, id).bytes(abi::CKA_GOSTR3410_PARAMS, a.curve);
        if (!a.digest.empty()) pub.bytes(abi::CKA_GOSTR3411_PARAMS, a.digest);
        priv.text(abi::CKA_ID, id).flag(abi::CKA_DERIVE, derive).flag(abi::CKA_PRIVATE, true);
        const abi::CK_MECHANISM mechanism{a.pairMechanism, nullptr, 0};
        abi::ObjectHandle publicHandle{};
        abi::ObjectSummary s1{}, s2{};
        Party party;
        EXPECT_EQ(
            slots().generateKeyPair(host->context(), user(), host->settings(), pub.data(), pub.size(), priv.data(),
                                    priv.size(), &mechanism, &publicHandle, &party.privateKey, &s1, &s2),
            abi::CKR_OK);
        party.publicKey = readAll(publicHandle)->get(abi::CKA_VALUE).value_or(Bytes{});
        const Bytes reference = readAll(party.privateKey)->get(abi::CKA_VENDOR_KEY_REFERENCE).value_or(Bytes{0});
        party.secret = cardSecret(uint16_t(0xF000 | reference[0]), a.keySize);
        return party;
    }

    CK_RV derive(uint32_t mechanismType, Bytes parameter, const abi::ObjectHandle& base, NewKey& key) {
        abi::CK_MECHANISM mechanism{mechanismType, parameter.data(), uint32_t(parameter.size())};
        Template tmpl;
        tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, abi::CKK_GOST28147);
        // Values the template offers never replace the agreed key.
        tmpl.bytes(abi::CKA_VALUE, Bytes(32, 1)).bytes(abi::CKA_VALUE, Bytes(32, 2));
        key.rv = slots().deriveKey(host->context(), user(), host->settings(), &mechanism, &base, tmpl.data(),
                                   tmpl.size(), &key.handle, &key.summary);
        return key.rv;
    }

    // The derived key's value, from its 33-byte body (parameter code, key).
    Bytes derivedValue(const NewKey& key) {
        const Bytes body = cardBody(uint16_t(0x6300 | key.handle.record));
        return body.size() == 33 ? Bytes(body.begin() + 1, body.end()) : Bytes{};
    }
};

Bytes cardForm(const Bytes& hostForm) {
    const size_t half = hostForm.size() / 2;
    Bytes card = reversed(std::span(hostForm).first(half));
    const Bytes y = reversed(std::span(hostForm).subspan(half));
    card.insert(card.end(), y.begin(), y.end());
    return card;
}

class AgreedKey : public DerivationTest, public ::testing::WithParamInterface<Agreement> {};

TEST_P(AgreedKey, BothSidesAgreeWithTheEngine) {
    const Agreement& a = GetParam();
    const Party alice = makeParty(a, "alice");
    const Party bob = makeParty(a, "bob");
    ASSERT_EQ(alice.secret.size(), a.keySize);
    const Bytes ukm = randomBytes(a.ukmLength);

    NewKey aliceKey, bobKey;
    ASSERT_EQ(derive(a.deriveMechanism, inlineDeriveParameter(bob.publicKey, ukm), alice.privateKey, aliceKey),
              abi::CKR_OK);
    Bytes bobPublic = alice.publicKey, bobUkm = ukm;  // the pointer layout on this side
    abi::CK_GOSTR3410_DERIVE_PARAMS pointers{0, bobPublic.data(), uint32_t(bobPublic.size()), bobUkm.data(),
                                             uint32_t(bobUkm.size())};
    Bytes parameter(sizeof pointers);
    std::memcpy(parameter.data(), &pointers, sizeof pointers);
    ASSERT_EQ(derive(a.deriveMechanism, parameter, bob.privateKey, bobKey), abi::CKR_OK);
    EXPECT_EQ(uint8_t{aliceKey.summary.isPrivate}, 1);

    const Bytes agreed = derivedValue(aliceKey);
    ASSERT_EQ(agreed.size(), 32u);
    EXPECT_EQ(derivedValue(bobKey), agreed);
    if (a.ukmLength != 8) return;
    Bytes engineKey;
    ASSERT_NO_FATAL_FAILURE(deriveWithEngine(a.code, alice.secret, cardForm(bob.publicKey), ukm, engineKey));
    EXPECT_EQ(engineKey, agreed);
}

INSTANTIATE_TEST_SUITE_P(Vko, AgreedKey, ::testing::ValuesIn(kAgreements),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The agreed key leaves no copy on the stack. Derived once to learn it,
// then agreed again for a template with no room for it, so that it is not
// written to the card; the template outlives the calls, so that freeing it
// does not overwrite what they left.
TEST_F(DerivationTest, AgreedKeyIsWipedFromTheStack) {
    const Party alice = makeParty(kAgreements[1], "alice");
    const Party bob = makeParty(kAgreements[1], "bob");
    Bytes parameter = inlineDeriveParameter(bob.publicKey, Bytes(8, 3));
    NewKey key;
    ASSERT_EQ(derive(abi::CKM_GOSTR3410_12_DERIVE, parameter, alice.privateKey, key), abi::CKR_OK);
    const Bytes agreed = derivedValue(key);
    ASSERT_EQ(agreed.size(), 32u);
    abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410_12_DERIVE, parameter.data(), uint32_t(parameter.size())};
    Template full;
    for (int i = 0; i < 40; ++i) full.text(abi::CKA_APPLICATION, "x");
    CK_RV refused[2] = {};
    for (CK_RV& rv : refused) {
        rv = slots().deriveKey(host->context(), user(), host->settings(), &mechanism, &alice.privateKey, full.data(),
                               full.size(), &key.handle, &key.summary);
    }
    EXPECT_FALSE(stackBelowHolds(std::span(agreed).first(16)));
    EXPECT_EQ(refused[1], abi::CKR_FUNCTION_FAILED);
}

// Refusals: nothing is created and, but for the key checks, the card is
// not asked to agree.
struct Refusal {
    const char* name;
    uint32_t mechanism;
    size_t ukmLength;
    bool useBaseKey;  // false: name the public key instead
    bool derive;      // the base key's CKA_DERIVE
    CK_RV expected;
};

const Refusal kRefusals[] = {
    {"LongUkmFor2001", abi::CKM_GOSTR3410_DERIVE, 16, true, true, abi::CKR_MECHANISM_PARAM_INVALID},
    {"ShortUkm", abi::CKM_GOSTR3410_12_DERIVE, 7, true, true, abi::CKR_MECHANISM_PARAM_INVALID},
    {"OtherMechanism", abi::CKM_GOST28147_KEY_WRAP, 8, true, true, abi::CKR_MECHANISM_INVALID},
    {"PublicKeyAsBase", abi::CKM_GOSTR3410_DERIVE, 8, false, true, abi::CKR_KEY_HANDLE_INVALID},
    {"BaseKeyWithoutDerive", abi::CKM_GOSTR3410_DERIVE, 8, true, false, abi::CKR_KEY_FUNCTION_NOT_PERMITTED},
};

class RefusedDerivation : public DerivationTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedDerivation, CreatesNothing) {
    const Refusal& r = GetParam();
    const Party party = makeParty(kAgreements[0], "base", r.derive);
    abi::ObjectHandle base = party.privateKey;
    if (!r.useBaseKey) base.directoryLow = 0x01;
    const Bytes before = counters();
    NewKey key;
    EXPECT_EQ(derive(r.mechanism, inlineDeriveParameter(party.publicKey, Bytes(r.ukmLength, 1)), base, key),
              r.expected);
    EXPECT_EQ(counters(), before);
}

INSTANTIATE_TEST_SUITE_P(Parameters, RefusedDerivation, ::testing::ValuesIn(kRefusals),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(DerivationTest, The2012MechanismNeedsACardThatKnowsIt) {
    const Party party = makeParty(kAgreements[0], "base");
    Bytes capability(31, 0);
    capability[29] = 1;  // a GOST R 34.10-2001-only card
    host->failOn("80 FE 00 00", Fault::answer(capability, 0x90, 0x00), 0);
    NewKey key;
    EXPECT_EQ(derive(abi::CKM_GOSTR3410_12_DERIVE, inlineDeriveParameter(party.publicKey, Bytes(8, 1)),
                     party.privateKey, key),
              abi::CKR_MECHANISM_INVALID);
    host->clearFaults();
}

}  // namespace
}  // namespace korva::test
