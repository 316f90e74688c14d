// Key pairs made through the loaded module on the virtual card: every curve
// the card knows and both ways of making an RSA key; the public key the
// token reports is the one the card holds, and the card's bookkeeping stays
// consistent (checked after every test by the fixture).
#include "common/openssl_ptr.h"
#include "tests/objects/store_fixture.h"

#include <openssl/bn.h>

#include <algorithm>
#include <memory>
#include <string>

namespace korva::test {
namespace {

using abi::CK_RV;

Bytes oid(std::initializer_list<uint8_t> arcs) {
    Bytes der = {0x06, uint8_t(arcs.size() + 3), 0x2A, 0x85, 0x03};
    der.insert(der.end(), arcs.begin(), arcs.end());
    return der;
}

struct Curve {
    const char* name;
    uint32_t mechanism;
    Bytes parameters;
    size_t coordinate;  // bytes of X and of Y
};

const Curve kCurves[] = {
    {"CryptoProA", abi::CKM_GOSTR3410_KEY_PAIR_GEN, oid({0x02, 0x02, 0x23, 0x01}), 32},
    {"CryptoProB", abi::CKM_GOSTR3410_KEY_PAIR_GEN, oid({0x02, 0x02, 0x23, 0x02}), 32},
    {"CryptoProC", abi::CKM_GOSTR3410_KEY_PAIR_GEN, oid({0x02, 0x02, 0x23, 0x03}), 32},
    {"CryptoProXchA", abi::CKM_GOSTR3410_KEY_PAIR_GEN, oid({0x02, 0x02, 0x24, 0x00}), 32},
    {"CryptoProXchB", abi::CKM_GOSTR3410_KEY_PAIR_GEN, oid({0x02, 0x02, 0x24, 0x01}), 32},
    {"Tc26_256A", abi::CKM_GOSTR3410_KEY_PAIR_GEN, oid({0x07, 0x01, 0x02, 0x01, 0x01, 0x01}), 32},
    {"Tc26_512A", abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, oid({0x07, 0x01, 0x02, 0x01, 0x02, 0x01}), 64},
    {"Tc26_512B", abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, oid({0x07, 0x01, 0x02, 0x01, 0x02, 0x02}), 64},
    {"Tc26_512C", abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, oid({0x07, 0x01, 0x02, 0x01, 0x02, 0x03}), 64},
};

class KeyPairTest : public StoreTest {
protected:
    struct Pair {
        CK_RV rv = 0xFFFFFFFF;
        abi::ObjectHandle publicKey{}, privateKey{};
        abi::ObjectSummary publicSummary{}, privateSummary{};
    };

    Pair generate(uint32_t mechanismType, Template& pub, Template& priv, abi::LoginRecord* login = nullptr) {
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        Pair pair;
        pair.rv = slots().generateKeyPair(host->context(), login ? login : user(), host->settings(), pub.data(),
                                          pub.size(), priv.data(), priv.size(), &mechanism, &pair.publicKey,
                                          &pair.privateKey, &pair.publicSummary, &pair.privateSummary);
        return pair;
    }

    // Templates built in place, whether they end in a builder call or not.
    template <typename Public, typename Private>
    Pair mustGenerate(uint32_t mechanismType, Public&& pub, Private&& priv) {
        Pair pair = generate(mechanismType, pub, priv);
        EXPECT_EQ(pair.rv, abi::CKR_OK);
        return pair;
    }

    // READ PUBLIC KEY of a key file, straight from the card.
    Bytes cardPublicKey(const Bytes& path, uint16_t keyFile) {
        Bytes select = {0x00, 0xA4, 0x08, 0x04, uint8_t(path.size())};
        select.insert(select.end(), path.begin(), path.end());
        EXPECT_EQ(sendToCard(host->card(), select).statusWord(), 0x9000);
        EXPECT_EQ(sendToCard(host->card(), Bytes{0x00, 0xA4, 0x00, 0x04, 0x02, uint8_t(keyFile >> 8), uint8_t(keyFile)})
                      .statusWord(),
                  0x9000);
        const sim::Answer answer = sendToCard(host->card(), "00 46 01 00 00");
        EXPECT_EQ(answer.statusWord(), 0x9000);
        return answer.data;
    }

    // The card's GOST key slots in use, from its information record.
    size_t keySlotsInUse() {
        EXPECT_EQ(sendToCard(host->card(), "80 78 00 00").statusWord(), 0x6C7F);
        const sim::Answer record = sendToCard(host->card(), "00 C0 00 00 7F");
        return size_t(
            std::count_if(record.data.begin() + 47, record.data.begin() + 79, [](uint8_t b) { return b != 0; }));
    }

    size_t keyCount() {
        size_t keys = 0;
        for (const FoundObject& object : findAll(user()))
            keys += object.objectClass == abi::CKO_PUBLIC_KEY || object.objectClass == abi::CKO_PRIVATE_KEY ? 1 : 0;
        return keys;
    }
};

Bytes reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// ---------------------------------------------------------------------------

class GostKeyPairTest : public KeyPairTest, public ::testing::WithParamInterface<Curve> {};

TEST_P(GostKeyPairTest, TokenReportsTheCardsPublicKey) {
    const Curve& curve = GetParam();
    const Pair pair = mustGenerate(curve.mechanism, Template().bytes(abi::CKA_GOSTR3410_PARAMS, curve.parameters),
                                   Template().flag(abi::CKA_PRIVATE, true));
    EXPECT_EQ(uint32_t{pair.publicSummary.objectClass}, abi::CKO_PUBLIC_KEY);
    EXPECT_EQ(uint8_t{pair.publicSummary.isPrivate}, 0);
    EXPECT_EQ(uint32_t{pair.privateSummary.objectClass}, abi::CKO_PRIVATE_KEY);
    EXPECT_EQ(uint8_t{pair.privateSummary.isPrivate}, 1);

    const std::optional<FoundObject> publicKey = readAll(pair.publicKey);
    ASSERT_TRUE(publicKey);
    const Bytes reference = publicKey->get(abi::CKA_VENDOR_KEY_REFERENCE).value_or(Bytes{});
    ASSERT_EQ(reference.size(), 1u);
    EXPECT_EQ(publicKey->get(abi::CKA_GOSTR3410_PARAMS), curve.parameters);

    // The card answers X then Y big-endian; the token each little-endian.
    const Bytes card = cardPublicKey({0x05, 0x1F}, uint16_t(0xF000 | reference[0]));
    ASSERT_EQ(card.size(), 2 * curve.coordinate);
    const Bytes x = reversed(Bytes(card.begin(), card.begin() + long(curve.coordinate)));
    const Bytes y = reversed(Bytes(card.begin() + long(curve.coordinate), card.end()));
    Bytes expected = x;
    expected.insert(expected.end(), y.begin(), y.end());
    EXPECT_EQ(publicKey->get(abi::CKA_VALUE), expected);

    const std::optional<FoundObject> privateKey = readAll(pair.privateKey);
    ASSERT_TRUE(privateKey);
    EXPECT_EQ(privateKey->get(abi::CKA_VENDOR_KEY_REFERENCE), reference);
    EXPECT_EQ(privateKey->get(abi::CKA_KEY_TYPE), publicKey->get(abi::CKA_KEY_TYPE));
}

INSTANTIATE_TEST_SUITE_P(EveryCurve, GostKeyPairTest, ::testing::ValuesIn(kCurves),
                         [](const ::testing::TestParamInfo<Curve>& param) { return std::string(param.param.name); });

TEST_F(KeyPairTest, PairsTakeSuccessiveRecordsAndKeySlotsAndAreCounted) {
    const Bytes before = counters();
    const Pair first = mustGenerate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, Template().text(abi::CKA_ID, "one"),
                                    Template().text(abi::CKA_ID, "one"));
    const Pair second = mustGenerate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, Template(), Template());
    EXPECT_EQ(first.publicKey.record, 1);
    EXPECT_EQ(second.publicKey.record, 2);
    EXPECT_EQ(second.privateKey.record, 2);
    EXPECT_EQ(keySlotsInUse(), 2u);

    // Without identifiers both halves get an empty one.
    EXPECT_EQ(readAll(second.privateKey)->get(abi::CKA_ID), Bytes{});
    EXPECT_EQ(readAll(second.publicKey)->get(abi::CKA_ID), Bytes{});
    // A 2012 key with its default parameters.
    EXPECT_EQ(readAll(second.publicKey)->get(abi::CKA_GOSTR3411_PARAMS),
              (Bytes{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02}));

    const Bytes after = counters();
    EXPECT_EQ(after[12], uint8_t(before[12] + 2));  // public keys
    EXPECT_EQ(after[13], uint8_t(before[13] + 2));  // private keys
    EXPECT_EQ(after[6] | after[7] << 8, (before[6] | before[7] << 8) + 2);
}

TEST_F(KeyPairTest, FailureAfterTheCardMadeTheKeyLeavesNothingBehind) {
    // The container map entry of public record 1 is the last write.
    host->failOn("00 D6 00 00 56", Fault::status(0x65, 0x81));
    Template pub, priv;
    EXPECT_EQ(generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv).rv, abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(keyCount(), 0u);
    EXPECT_EQ(keySlotsInUse(), 0u);
    // The next pair takes the same places.
    const Pair pair = mustGenerate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, Template(), Template());
    EXPECT_EQ(pair.publicKey.record, 1);
}

TEST_F(KeyPairTest, WithoutTheUserPinTheCardMakesNoKey) {
    mustGenerate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, Template(), Template());
    logOut();
    Template pub, priv;
    EXPECT_EQ(generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv, nobody()).rv, abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(keyCount(), 2u);
    EXPECT_EQ(keySlotsInUse(), 1u);
}

TEST_F(KeyPairTest, FailingCountersUpdateReportsFailureWithThePairInPlace) {
    host->failOn("00 D6 00 00 0E", Fault::status(0x65, 0x81));
    Template pub, priv;
    const Pair pair = generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv);
    EXPECT_EQ(pair.rv, abi::CKR_FUNCTION_FAILED);
    EXPECT_TRUE(readAll(pair.publicKey));
    EXPECT_TRUE(readAll(pair.privateKey));
    // The card now counts fewer keys than it holds: put that right for the
    // consistency check, as the next change of the store would not.
    Bytes fixed = counters();
    fixed[12] = uint8_t(fixed[12] + 1);
    fixed[13] = uint8_t(fixed[13] + 1);
    Bytes update = {0x00, 0xD6, 0x00, 0x00, uint8_t(fixed.size())};
    update.insert(update.end(), fixed.begin(), fixed.end());
    EXPECT_EQ(sendToCard(host->card(), update).statusWord(), 0x9000);
}

// Destroying either half of a pair searches the other half's directory
// before anything on the card changes: a malformed record there fails the
// destruction while the card key still works.
TEST_F(KeyPairTest, DestructionStopsAtADamagedOtherHalfBeforeTheCardKeyGoes) {
    struct Case {
        bool destroyPrivate;
        const char* otherDirectory;
    };
    for (const Case c : {Case{true, "50 01"}, Case{false, "50 00"}}) {
        SCOPED_TRACE(c.otherDirectory);
        useCard();
        const Pair pair = mustGenerate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, Template().text(abi::CKA_ID, "k"),
                                       Template().text(abi::CKA_ID, "k"));
        auto selectOther = [&] {
            sendToCard(host->card(), "00 A4 08 04 04 A1 BC 7F 01");
            sendToCard(host->card(), std::string("00 A4 00 04 02 ") + c.otherDirectory);
        };
        auto writeOther = [&](const Bytes& record) {
            Bytes update = fromHex("00 DC 01 04 FF");
            update.insert(update.end(), record.begin(), record.end());
            update.resize(5 + 255);
            selectOther();
            EXPECT_EQ(sendToCard(host->card(), update).statusWord(), 0x9000);
        };
        selectOther();
        const Bytes kept = sendToCard(host->card(), "00 B2 01 04 FF").data;
        writeOther(fromHex("00 00 01 02 FF"));  // a CKA_ID longer than the record

        EXPECT_EQ(destroy(c.destroyPrivate ? pair.privateKey : pair.publicKey), abi::CKR_FUNCTION_FAILED);
        EXPECT_EQ(keySlotsInUse(), 1u);
        writeOther(kept);
        EXPECT_TRUE(readAll(pair.privateKey));
        EXPECT_TRUE(readAll(pair.publicKey));
        expectConsistent();
    }
}

// ---------------------------------------------------------------------------

using Bignum = BignumPtr;
Bignum bignum(const Bytes& bytes) { return Bignum(BN_bin2bn(bytes.data(), int(bytes.size()), nullptr)); }

TEST_F(KeyPairTest, RsaKeyThatMayDecryptKeepsAWorkingPrivateExponent) {
    const Pair pair = mustGenerate(
        abi::CKM_RSA_PKCS_KEY_PAIR_GEN,
        Template().number(abi::CKA_MODULUS_BITS, 1024).bytes(abi::CKA_PUBLIC_EXPONENT, {0x03}), Template());
    const std::optional<FoundObject> publicKey = readAll(pair.publicKey);
    ASSERT_TRUE(publicKey);
    const Bytes modulus = publicKey->get(abi::CKA_MODULUS).value_or(Bytes{});
    ASSERT_EQ(modulus.size(), 128u);
    EXPECT_NE(modulus[0] & 0x80, 0);

    const Bytes card = cardPublicKey({0xA1, 0xBC, 0x7F, 0x01}, 0x6101);
    ASSERT_EQ(card.size(), 136u);
    EXPECT_EQ(Bytes(card.begin() + 8, card.end()), modulus);
    EXPECT_EQ(card[7], 0x03);
    EXPECT_EQ(readAll(pair.privateKey)->get(abi::CKA_MODULUS_BITS), (Bytes{0x00, 0x04, 0x00, 0x00}));

    // E1 01 holds d with (2^3)^d = 2 mod n.
    sendToCard(host->card(), Bytes{0x00, 0x20, 0x00, 0x07, 0x08, '4', '7', '1', '0', '2', '9', '5', '8'});
    ASSERT_EQ(sendToCard(host->card(), "00 A4 00 04 02 E1 01").statusWord(), 0x9000);
    const sim::Answer d = sendToCard(host->card(), "00 B0 00 00 80");
    ASSERT_EQ(d.data.size(), 128u);
    const BnCtxPtr context(BN_CTX_new());
    const Bignum n = bignum(modulus), exponent = bignum(d.data), two(BN_new()), result(BN_new());
    BN_set_word(two.get(), 8);
    ASSERT_EQ(BN_mod_exp(result.get(), two.get(), exponent.get(), n.get(), context.get()), 1);
    EXPECT_TRUE(BN_is_word(result.get(), 2));
}

// The card reads an RSA key's exponent field as an 8-byte big-endian number
// (and so answers it in READ PUBLIC KEY), whichever way the key got there:
// generated by the card, loaded in two parts, or loaded in the single form
// by object creation. 65537 reads the same reversed; 3 and 17 do not.
TEST_F(KeyPairTest, RsaExponentIsBigEndianInEveryWayAKeyReachesTheCard) {
    enum class Way { CardGenerates, LoadsPair, CreatesPublicKey };
    for (const Way way : {Way::CardGenerates, Way::LoadsPair, Way::CreatesPublicKey}) {
        for (const uint8_t exponent : {uint8_t{3}, uint8_t{17}}) {
            SCOPED_TRACE(::testing::Message() << "way " << int(way) << ", e = " << int(exponent));
            abi::ObjectHandle publicKey{};
            if (way == Way::CreatesPublicKey) {
                Template tmpl;
                tmpl.number(abi::CKA_CLASS, abi::CKO_PUBLIC_KEY).flag(abi::CKA_TOKEN, true);
                tmpl.number(abi::CKA_KEY_TYPE, abi::CKK_RSA).text(abi::CKA_ID, "e" + std::to_string(exponent));
                tmpl.bytes(abi::CKA_MODULUS, testKeyPair().modulus).bytes(abi::CKA_PUBLIC_EXPONENT, {exponent});
                publicKey = mustCreate(tmpl);
            } else {
                const bool mayDecrypt = way == Way::LoadsPair;
                publicKey = mustGenerate(abi::CKM_RSA_PKCS_KEY_PAIR_GEN,
                                         Template()
                                             .number(abi::CKA_MODULUS_BITS, 1024)
                                             .bytes(abi::CKA_PUBLIC_EXPONENT, {0x00, exponent})
                                             .flag(abi::CKA_ENCRYPT, mayDecrypt),
                                         Template().flag(abi::CKA_DECRYPT, mayDecrypt))
                                .publicKey;
            }
            const Bytes field = {0, 0, 0, 0, 0, 0, 0, exponent};
            const Bytes card = cardPublicKey({0xA1, 0xBC, 0x7F, 0x01}, uint16_t(0x6100 | publicKey.record));
            ASSERT_EQ(card.size(), 136u);
            EXPECT_EQ(Bytes(card.begin(), card.begin() + 8), field);
            EXPECT_EQ(readAll(publicKey)->get(abi::CKA_PUBLIC_EXPONENT), field);
        }
    }
}

TEST_F(KeyPairTest, RsaKeyThatMayNotDecryptIsMadeByTheCard) {
    const Pair pair = mustGenerate(abi::CKM_RSA_PKCS_KEY_PAIR_GEN,
                                   Template().number(abi::CKA_MODULUS_BITS, 1024).flag(abi::CKA_ENCRYPT, false),
                                   Template().flag(abi::CKA_DECRYPT, false));
    const std::optional<FoundObject> publicKey = readAll(pair.publicKey);
    ASSERT_TRUE(publicKey);
    const Bytes card = cardPublicKey({0xA1, 0xBC, 0x7F, 0x01}, 0x6101);
    ASSERT_EQ(card.size(), 136u);
    EXPECT_EQ(publicKey->get(abi::CKA_MODULUS), Bytes(card.begin() + 8, card.end()));
    EXPECT_EQ(publicKey->get(abi::CKA_PUBLIC_EXPONENT).value_or(Bytes{}).back(), 0x01);
    // No private exponent file next to the key object.
    EXPECT_EQ(sendToCard(host->card(), "00 A4 00 04 02 E1 01").statusWord(), 0x6A82);
}

}  // namespace
}  // namespace korva::test
