#include "tests/sim_crypto/engine_keys.h"

#include "sim/crypto/gost_key.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace korva::sim::crypto {
namespace {

using test::exchangeHalves;
using test::randomBytes;
using test::reversed;
using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Worked example of the GOST R 34.10 signature standard on the test curve
// (card code 4): private key d, hash value e, nonce k and the resulting r, s.
TEST(GostKeyPair, SignsTheStandardsWorkedExample) {
    const auto key =
        GostKeyPair::fromPrivateKey(4, fromHex("7A929ADE789BB9BE10ED359DD39A72C11B60961F49397EEE1D19CE9891EC3B28"));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->publicKey(), fromHex("7F2B49E270DB6D90D8595BEC458B50C58585BA1D4E9B788F6689DBD8E56FD80B"
                                        "26F1B489D6701DD185C8413A977B3CBBAF64D1C593D26627DFFB101A87FF77DA"));
    const Bytes e = fromHex("2DFBC1B372D89A1188C09C52E0EEC61FCE52032AB1022E8E67ECE6672B043EE5");
    const Bytes signature =
        key->signWithNonce(e, fromHex("77105C9B20BCD3122823C8CF6FCC7B956DE33814E95B7FE64FED924594DCEAB3"));
    EXPECT_EQ(signature, fromHex("41AA28D2F1AB148280CD9ED56FEDA41974053554A42767B83AD043FD39DC0493"
                                 "01456C64BA4642A1653C235A98A60249BCD6D3F746B631DF928014F6C5BF9C40"));
    EXPECT_TRUE(key->verify(e, signature));
}

class EveryCurve : public testing::TestWithParam<uint8_t> {};

// The module sends the digest reversed and hands the host the card's answer
// with its halves exchanged; the engine must accept that host form over the
// digest in natural order, with the public key in the engine's own encoding.
TEST_P(EveryCurve, HostFormOfACardSignatureVerifiesWithTheEngine) {
    const auto key = GostKeyPair::generate(GetParam());
    ASSERT_TRUE(key);
    const Bytes digest = randomBytes(key->size());
    const Bytes cardSignature = key->sign(reversed(digest));
    ASSERT_EQ(cardSignature.size(), 2 * key->size());

    const test::Pkey publicKey = test::enginePublicKey(GetParam(), key->publicKey());
    ASSERT_TRUE(publicKey);
    const auto engineVerifies = [&](const Bytes& signature) {
        const test::PkeyContext context(EVP_PKEY_CTX_new(publicKey.get(), nullptr));
        return context && EVP_PKEY_verify_init(context.get()) == 1 &&
               EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    };
    Bytes hostSignature = exchangeHalves(cardSignature);
    EXPECT_TRUE(engineVerifies(hostSignature));
    hostSignature[3] ^= 0x01;
    EXPECT_FALSE(engineVerifies(hostSignature));
}

// The other direction: an engine signature, turned into the card form, must
// pass the card's verification with the engine key's public point.
TEST_P(EveryCurve, EngineSignatureVerifiesOnTheCard) {
    const uint8_t code = GetParam();
    const auto cardKey = GostKeyPair::generate(code);
    ASSERT_TRUE(cardKey);
    const std::size_t size = cardKey->size();
    const auto serial = cardKey->serialize();
    const test::Pkey engineKey = test::enginePrivateKey(code, std::span(serial).subspan(2));
    ASSERT_TRUE(engineKey);
    EXPECT_EQ(test::cardPublicKey(engineKey.get(), size), cardKey->publicKey());

    const Bytes digest = randomBytes(size);
    const test::PkeyContext context(EVP_PKEY_CTX_new(engineKey.get(), nullptr));
    ASSERT_TRUE(context);
    ASSERT_EQ(EVP_PKEY_sign_init(context.get()), 1);
    Bytes hostSignature(2 * size);
    std::size_t length = hostSignature.size();
    ASSERT_EQ(EVP_PKEY_sign(context.get(), hostSignature.data(), &length, digest.data(), digest.size()), 1);
    ASSERT_EQ(length, 2 * size);

    const Bytes cardSignature = exchangeHalves(hostSignature);
    EXPECT_TRUE(cardKey->verify(reversed(digest), cardSignature));
    EXPECT_TRUE(verifyGostSignature(code, cardKey->publicKey(), reversed(digest), cardSignature));
    EXPECT_FALSE(cardKey->verify(digest, cardSignature)) << "hash accepted in the wrong order";
}

TEST_P(EveryCurve, SerialisedKeyComesBackWhole) {
    const auto key = GostKeyPair::generate(GetParam());
    ASSERT_TRUE(key);
    const auto restored = GostKeyPair::deserialize(key->serialize());
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->curveCode(), GetParam());
    EXPECT_EQ(restored->publicKey(), key->publicKey());
    const Bytes hash = randomBytes(key->size());
    EXPECT_TRUE(key->verify(hash, restored->sign(hash)));
}

INSTANTIATE_TEST_SUITE_P(CardCurveCodes, EveryCurve,
                         testing::Values(uint8_t{1}, uint8_t{2}, uint8_t{3}, uint8_t{4}, uint8_t{5}, uint8_t{9},
                                         uint8_t{10}, uint8_t{11}),
                         [](const auto& testInfo) { return "code" + std::to_string(testInfo.param); });

TEST(GostKeyPair, RefusesUnknownCurvesAndOutOfRangeKeys) {
    EXPECT_FALSE(GostKeyPair::generate(0));
    EXPECT_FALSE(GostKeyPair::generate(6));
    EXPECT_FALSE(GostKeyPair::fromPrivateKey(2, Bytes(32, 0x00)));
    EXPECT_FALSE(GostKeyPair::fromPrivateKey(2, Bytes(32, 0xFF))) << "d above the order";
    EXPECT_FALSE(GostKeyPair::fromPrivateKey(2, Bytes(31, 0x01))) << "short key";
    EXPECT_FALSE(GostKeyPair::deserialize(Bytes{'G'}));
    EXPECT_FALSE(GostKeyPair::deserialize(Bytes{'R', 2}));
}

TEST(GostKeyPair, RejectsTamperedSignaturesAndWrongLengths) {
    const auto key = GostKeyPair::generate(9);
    ASSERT_TRUE(key);
    const Bytes hash = randomBytes(64);
    const Bytes signature = key->sign(hash);
    ASSERT_TRUE(key->verify(hash, signature));

    EXPECT_TRUE(key->sign(Bytes(32, 1)).empty()) << "a 512-bit key signs 64-byte hashes";
    EXPECT_FALSE(key->verify(hash, std::span(signature).first(64)));
    EXPECT_FALSE(key->verify(hash, Bytes(128, 0))) << "r = s = 0";
    for (const std::size_t position : {std::size_t{0}, std::size_t{63}, std::size_t{64}, std::size_t{127}}) {
        Bytes tampered = signature;
        tampered[position] ^= 0x80;
        EXPECT_FALSE(key->verify(hash, tampered)) << "byte " << position;
    }
    Bytes otherHash = hash;
    otherHash[10] ^= 1;
    EXPECT_FALSE(key->verify(otherHash, signature));
    EXPECT_TRUE(key->verify(hash, signature)) << "the valid signature still verifies";
}

// A hash that is 0 mod q is signed as e = 1, so a zero hash and the order
// itself give interchangeable signatures.
TEST(GostKeyPair, HashOfZeroIsSignedAsOne) {
    const auto key = GostKeyPair::generate(4);
    ASSERT_TRUE(key);
    Bytes one(32, 0);
    one.back() = 1;
    EXPECT_TRUE(key->verify(one, key->sign(Bytes(32, 0))));
}

// Key agreement as the engine computes it: the host's UKM is little-endian,
// the card holds it reversed; both sides reach the same key.
struct AgreementCase {
    uint8_t code;  // codes 1-4 make engine 2001 keys, the others 2012 keys
    KeyAgreement kind;
};

class KeyAgreementWithEngine : public testing::TestWithParam<AgreementCase> {};

TEST_P(KeyAgreementWithEngine, MatchesTheEngine) {
    const AgreementCase& agreement = GetParam();
    const auto ours = GostKeyPair::generate(agreement.code);
    const auto peer = GostKeyPair::generate(agreement.code);
    ASSERT_TRUE(ours && peer);
    const Bytes hostUkm = randomBytes(8);

    const WipedBytes cardKey = ours->agreeKey(peer->publicKey(), reversed(hostUkm), agreement.kind);
    ASSERT_EQ(cardKey.size(), 32u);
    EXPECT_EQ(cardKey, peer->agreeKey(ours->publicKey(), reversed(hostUkm), agreement.kind));

    const auto serial = ours->serialize();
    Bytes engineKey;
    ASSERT_NO_FATAL_FAILURE(
        test::deriveWithEngine(agreement.code, std::span(serial).subspan(2), peer->publicKey(), hostUkm, engineKey));
    ASSERT_EQ(engineKey.size(), 32u);
    EXPECT_EQ(Bytes(cardKey.begin(), cardKey.end()), engineKey);
}

INSTANTIATE_TEST_SUITE_P(Vko, KeyAgreementWithEngine,
                         testing::Values(AgreementCase{2, KeyAgreement::kVko2001},
                                         AgreementCase{5, KeyAgreement::kVko2012},
                                         AgreementCase{9, KeyAgreement::kVko2012}),
                         [](const auto& testInfo) { return "code" + std::to_string(testInfo.param.code); });

TEST(GostKeyPair, KeyAgreementRefusesPointsOffTheCurveAndZeroUkm) {
    const auto key = GostKeyPair::generate(2);
    const auto peer = GostKeyPair::generate(2);
    ASSERT_TRUE(key && peer);
    Bytes offCurve = peer->publicKey();
    offCurve[63] ^= 1;
    EXPECT_TRUE(key->agreeKey(offCurve, Bytes(8, 1), KeyAgreement::kVko2001).empty());
    EXPECT_TRUE(key->agreeKey(peer->publicKey(), Bytes(8, 0), KeyAgreement::kVko2001).empty());
    const Bytes peerKey = peer->publicKey();
    EXPECT_TRUE(key->agreeKey(std::span(peerKey).first(32), Bytes(8, 1), KeyAgreement::kVko2001).empty());
}

}  // namespace
}  // namespace korva::sim::crypto
