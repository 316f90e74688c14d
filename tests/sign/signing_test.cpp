// Signing and verification over a scripted card: the exact commands, the
// byte orders, and every check on mechanisms, handles, records and lengths.
#include "sign/card_signature.h"
#include "sign/signing.h"
#include "tests/token/rule_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace korva::sign {
namespace {

using namespace korva::abi;
using Bytes = std::vector<uint8_t>;
using testing::RuleCard;

const Bytes kCapability{0x80, 0xFE, 0x00, 0x00, 0x00};
const Bytes kReadRecord1{0x00, 0xB2, 0x01, 0x04};
const Bytes kComputeSignature{0x00, 0x2A, 0x9E, 0x9A};
const Bytes kVerifySignature{0x00, 0x2A, 0x00, 0xA8};
const Bytes kEncipher{0x00, 0x2A, 0x86, 0x80};
const Bytes kGost94Default{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
const Bytes kGost2012_256Oid{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
constexpr uint8_t kGostReference = 0x31;

constexpr ObjectHandle kPrivateKey{1, 0x50, 0x00};
constexpr ObjectHandle kPublicKey{1, 0x50, 0x01};
const OperationRecord kNoState{};

Bytes entry(uint32_t type, const Bytes& value) {
    Bytes out{uint8_t(type >> 24), uint8_t(type >> 16), uint8_t(type >> 8), uint8_t(type), uint8_t(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}
Bytes number(uint32_t value) {
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
Bytes counting(std::size_t count, uint8_t start = 1) {
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = uint8_t(start + i);
    return out;
}
Bytes reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}
Bytes halvesExchanged(const Bytes& bytes) {
    const auto half = static_cast<std::ptrdiff_t>(bytes.size() / 2);
    Bytes out(bytes.begin() + half, bytes.end());
    out.insert(out.end(), bytes.begin(), bytes.begin() + half);
    return out;
}

Bytes gostRecord(uint32_t keyType, Bytes extra = {}) {
    return join({entry(CKA_KEY_TYPE, number(keyType)), entry(CKA_VENDOR_KEY_REFERENCE, {kGostReference}), extra});
}
Bytes rsaRecord(uint32_t bits = 1024, Bytes extra = {}) {
    return join({entry(CKA_KEY_TYPE, number(CKK_RSA)), entry(CKA_MODULUS_BITS, number(bits)), extra});
}

// A card with GOST R 34.10-2012 support (unless told otherwise) whose key
// record 1 is `record`.
RuleCard cardWith(const Bytes& record, bool gost2012 = true) {
    RuleCard card;
    if (gost2012) card.on(kCapability, {Bytes(31, 0)});
    card.on(kReadRecord1, {record});
    return card;
}

CK_MECHANISM mechanismOf(CK_MECHANISM_TYPE type) { return {type, nullptr, 0}; }

struct Signed {
    CK_RV rv;
    Bytes signature;
    CK_ULONG length;
};

Signed signWith(RuleCard& card, CK_MECHANISM_TYPE mechanism, const Bytes& data, CK_ULONG capacity = 256,
                bool query = false, const OperationRecord* state = nullptr, ObjectHandle key = kPrivateKey) {
    Signed out{0, Bytes(capacity, 0xEE), capacity};
    out.rv = signData(card.host(), nullptr, data.data(), CK_ULONG(data.size()), query ? nullptr : out.signature.data(),
                      &out.length, &key, state ? state : &kNoState, mechanism);
    return out;
}

CK_RV verifyWith(RuleCard& card, CK_MECHANISM_TYPE mechanism, const Bytes& data, const Bytes& signature,
                 const OperationRecord* state = nullptr) {
    return verifyData(card.host(), nullptr, data.data(), CK_ULONG(data.size()), signature.data(),
                      CK_ULONG(signature.size()), &kPublicKey, state ? state : &kNoState, mechanism);
}

// --- initialisation --------------------------------------------------------

TEST(SigningInit, RefusesMechanismsHandlesAndRecordsInTheirOrder) {
    OperationRecord state{};
    RuleCard card = cardWith(gostRecord(CKK_GOSTR3410));
    CK_MECHANISM gost = mechanismOf(CKM_GOSTR3410);
    EXPECT_EQ(signInit(card.host(), nullptr, &kPrivateKey, &state), CKR_FUNCTION_FAILED);
    EXPECT_EQ(signInit(card.host(), &gost, nullptr, &state), CKR_FUNCTION_FAILED);
    EXPECT_EQ(signInit(card.host(), &gost, &kPrivateKey, nullptr), CKR_FUNCTION_FAILED);
    // Listed for the host, but the card's signing always pads.
    CK_MECHANISM raw = mechanismOf(CKM_RSA_X_509);
    EXPECT_EQ(signInit(card.host(), &raw, &kPrivateKey, &state), CKR_MECHANISM_INVALID);

    for (const ObjectHandle handle : {kPublicKey, ObjectHandle{1, 0xFF, 0xFF}, ObjectHandle{1, 0x50, 0x03}}) {
        EXPECT_EQ(signInit(card.host(), &gost, &handle, &state), CKR_KEY_HANDLE_INVALID);
    }
    EXPECT_EQ(verifyInit(card.host(), &gost, &kPrivateKey, &state), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(signInit(card.host(), &gost, &kPrivateKey, &state), CKR_OK);

    RuleCard free = cardWith(Bytes(255, 0));
    EXPECT_EQ(signInit(free.host(), &gost, &kPrivateKey, &state), CKR_OBJECT_HANDLE_INVALID);
    RuleCard shortRecord = cardWith(Bytes{0, 0, 1});
    EXPECT_EQ(signInit(shortRecord.host(), &gost, &kPrivateKey, &state), CKR_FUNCTION_FAILED);
    RuleCard missing;
    missing.on(kReadRecord1, {{}, 0x6A83});
    EXPECT_EQ(signInit(missing.host(), &gost, &kPrivateKey, &state), CKR_FUNCTION_FAILED);
}

TEST(SigningInit, TwentyTwelveMechanismsNeedACardThatOffersThem) {
    OperationRecord state{};
    CK_MECHANISM wide = mechanismOf(CKM_GOSTR3410_512);
    RuleCard old = cardWith(gostRecord(CKK_GOSTR3410_512), false);
    EXPECT_EQ(signInit(old.host(), &wide, &kPrivateKey, &state), CKR_MECHANISM_INVALID);
    EXPECT_EQ(signWith(old, CKM_GOSTR3410_512, Bytes(64, 1)).rv, CKR_FUNCTION_FAILED);
    RuleCard current = cardWith(gostRecord(CKK_GOSTR3410_512));
    EXPECT_EQ(signInit(current.host(), &wide, &kPrivateKey, &state), CKR_OK);
}

TEST(SigningInit, UsageAndKeyTypeChecks) {
    OperationRecord state{};
    CK_MECHANISM gost = mechanismOf(CKM_GOSTR3410);
    RuleCard forbidden = cardWith(gostRecord(CKK_GOSTR3410, entry(CKA_SIGN, {0})));
    EXPECT_EQ(signInit(forbidden.host(), &gost, &kPrivateKey, &state), CKR_KEY_FUNCTION_NOT_PERMITTED);
    // Only a one-byte flag counts.
    RuleCard odd = cardWith(gostRecord(CKK_GOSTR3410, entry(CKA_SIGN, {0, 0})));
    EXPECT_EQ(signInit(odd.host(), &gost, &kPrivateKey, &state), CKR_OK);
    RuleCard wrongType = cardWith(gostRecord(CKK_GOSTR3410_512));
    EXPECT_EQ(signInit(wrongType.host(), &gost, &kPrivateKey, &state), CKR_KEY_TYPE_INCONSISTENT);
    // A record without a readable key type fails before the usage verdict.
    RuleCard noType = cardWith(join({entry(CKA_SIGN, {0}), entry(CKA_KEY_TYPE, {0, 0x30})}));
    EXPECT_EQ(signInit(noType.host(), &gost, &kPrivateKey, &state), CKR_FUNCTION_FAILED);
    RuleCard noVerify = cardWith(gostRecord(CKK_GOSTR3410, entry(CKA_VERIFY, {0})));
    EXPECT_EQ(verifyInit(noVerify.host(), &gost, &kPublicKey, &state), CKR_KEY_FUNCTION_NOT_PERMITTED);
}

TEST(SigningInit, DigestParameterOfTheGost94Mechanism) {
    RuleCard card = cardWith(gostRecord(CKK_GOSTR3410, entry(CKA_GOSTR3411_PARAMS, kGost2012_256Oid)));
    OperationRecord state{};
    std::fill(std::begin(state.bytes), std::end(state.bytes), uint8_t{0xEE});

    // Without a parameter the key's own set only has to be valid; the record
    // always names the CryptoPro set.
    CK_MECHANISM hashing = mechanismOf(CKM_GOSTR3410_WITH_GOSTR3411);
    ASSERT_EQ(signInit(card.host(), &hashing, &kPrivateKey, &state), CKR_OK);
    Bytes expected(40, 0);
    expected[0] = 9;
    std::copy(kGost94Default.begin(), kGost94Default.end(), expected.begin() + 1);
    EXPECT_EQ(Bytes(std::begin(state.bytes), std::end(state.bytes)), expected);

    Bytes parameter = kGost2012_256Oid;
    hashing.pParameter = parameter.data();
    hashing.ulParameterLen = CK_ULONG(parameter.size());
    ASSERT_EQ(signInit(card.host(), &hashing, &kPrivateKey, &state), CKR_OK);
    EXPECT_EQ(state.digest.length, 10);
    EXPECT_EQ(Bytes(state.digest.der, state.digest.der + 10), kGost2012_256Oid);

    hashing.ulParameterLen = 0;  // an empty parameter leaves the record empty
    ASSERT_EQ(signInit(card.host(), &hashing, &kPrivateKey, &state), CKR_OK);
    EXPECT_EQ(state.digest.length, 0);
    EXPECT_EQ(signWith(card, CKM_GOSTR3410_WITH_GOSTR3411, Bytes{1, 2, 3}, 64, false, &state).rv, CKR_FUNCTION_FAILED);

    Bytes tooLong(40, 0);
    hashing.pParameter = tooLong.data();
    hashing.ulParameterLen = 40;
    EXPECT_EQ(signInit(card.host(), &hashing, &kPrivateKey, &state), CKR_MECHANISM_PARAM_INVALID);
    Bytes notDigest{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};  // a curve, not a digest
    hashing.pParameter = notDigest.data();
    hashing.ulParameterLen = CK_ULONG(notDigest.size());
    EXPECT_EQ(signInit(card.host(), &hashing, &kPrivateKey, &state), CKR_MECHANISM_PARAM_INVALID);

    CK_MECHANISM raw{CKM_GOSTR3410, parameter.data(), 0};
    EXPECT_EQ(signInit(card.host(), &raw, &kPrivateKey, &state), CKR_MECHANISM_PARAM_INVALID);

    RuleCard badKey = cardWith(gostRecord(CKK_GOSTR3410, entry(CKA_GOSTR3411_PARAMS, notDigest)));
    CK_MECHANISM plain = mechanismOf(CKM_GOSTR3410_WITH_GOSTR3411);
    EXPECT_EQ(signInit(badKey.host(), &plain, &kPrivateKey, &state), CKR_MECHANISM_PARAM_INVALID);
}

// --- GOST signing and verification -----------------------------------------

TEST(GostSigning, SendsTheReversedHashAndReturnsTheHalvesExchanged) {
    RuleCard card = cardWith(gostRecord(CKK_GOSTR3410));
    const Bytes cardAnswer = counting(64, 0x80);
    card.on(kComputeSignature, {cardAnswer});
    const Bytes hash = counting(32);

    const Signed out = signWith(card, CKM_GOSTR3410, hash, 64);
    ASSERT_EQ(out.rv, CKR_OK);
    EXPECT_EQ(out.length, 64u);
    EXPECT_EQ(out.signature, halvesExchanged(cardAnswer));

    const auto keyDirectory = card.commandsStartingWith({0x00, 0xA4, 0x08, 0x00, 0x02, 0x05, 0x1F});
    EXPECT_EQ(keyDirectory.size(), 1u);
    EXPECT_EQ(card.commandsStartingWith({0x00, 0x22, 0xF3, 0x00}).size(), 1u);
    EXPECT_EQ(card.commandsStartingWith({0x00, 0x22, 0xC1, 0xB6, 0x03, 0x83, 0x01, kGostReference}).size(), 1u);
    const auto sent = card.commandsStartingWith(kComputeSignature);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], join({kComputeSignature, {0x20}, reversed(hash)}));
}

TEST(GostSigning, LengthsAreCheckedBeforeAnyBufferIsUsed) {
    RuleCard card = cardWith(gostRecord(CKK_GOSTR3410));
    for (std::size_t length : {31u, 33u}) {
        EXPECT_EQ(signWith(card, CKM_GOSTR3410, Bytes(length, 1), 64, true).rv, CKR_DATA_LEN_RANGE);
    }
    Signed query = signWith(card, CKM_GOSTR3410, Bytes(32, 1), 0, true);
    EXPECT_EQ(query.rv, CKR_OK);
    EXPECT_EQ(query.length, 64u);
    Signed small = signWith(card, CKM_GOSTR3410, Bytes(32, 1), 63);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 64u);
    EXPECT_TRUE(card.commandsStartingWith(kComputeSignature).empty());

    RuleCard wide = cardWith(gostRecord(CKK_GOSTR3410_512));
    for (std::size_t length : {1u, 1000u}) {
        Signed lengthOnly = signWith(wide, CKM_GOSTR3410_WITH_GOSTR3411_12_512, Bytes(length, 1), 0, true);
        EXPECT_EQ(lengthOnly.rv, CKR_OK);
        EXPECT_EQ(lengthOnly.length, 128u);
    }

    CK_ULONG length = 64;
    uint8_t buffer[64];
    EXPECT_EQ(signData(card.host(), nullptr, nullptr, 32, buffer, &length, &kPrivateKey, &kNoState, CKM_GOSTR3410),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(signData(card.host(), nullptr, buffer, 0, buffer, &length, &kPrivateKey, &kNoState, CKM_GOSTR3410),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(signData(card.host(), nullptr, buffer, 32, buffer, nullptr, &kPrivateKey, &kNoState, CKM_GOSTR3410),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(signWith(card, CKM_GOSTR3410, Bytes(32, 1), 64, false, nullptr, kPublicKey).rv, CKR_KEY_HANDLE_INVALID);
}

TEST(GostSigning, RefusesDamagedRecordsAndAnswersWithoutWritingTheBuffer) {
    for (std::size_t answered : {63u, 65u, 128u, 0u}) {
        RuleCard card = cardWith(gostRecord(CKK_GOSTR3410));
        card.on(kComputeSignature, {Bytes(answered, 0x55)});
        // A buffer larger than needed: a failure leaves its length alone too.
        const Signed out = signWith(card, CKM_GOSTR3410, Bytes(32, 1), 100);
        EXPECT_EQ(out.rv, CKR_FUNCTION_FAILED) << answered;
        EXPECT_EQ(out.signature, Bytes(100, 0xEE)) << answered;
        EXPECT_EQ(out.length, 100u) << answered;
    }
    RuleCard noReference = cardWith(entry(CKA_KEY_TYPE, number(CKK_GOSTR3410)));
    EXPECT_EQ(signWith(noReference, CKM_GOSTR3410, Bytes(32, 1)).rv, CKR_FUNCTION_FAILED);

    // An operation record the host damaged: a length past the 39 bytes it holds.
    RuleCard card = cardWith(gostRecord(CKK_GOSTR3410));
    card.on(kComputeSignature, {Bytes(64, 1)});
    OperationRecord state{};
    state.digest.length = 40;
    EXPECT_EQ(signWith(card, CKM_GOSTR3410_WITH_GOSTR3411, {1, 2}, 64, false, &state).rv, CKR_FUNCTION_FAILED);
    EXPECT_TRUE(card.commandsStartingWith(kComputeSignature).empty());
}

TEST(GostVerification, SendsCardFormsAndMapsTheVerdict) {
    const Bytes hash = counting(32);
    const Bytes hostSignature = counting(64, 0x40);
    for (const auto& [statusWord, expected] : std::vector<std::pair<uint16_t, CK_RV>>{
             {0x9000, CKR_OK}, {0x6982, CKR_SIGNATURE_INVALID}, {0x6A80, CKR_FUNCTION_FAILED}}) {
        RuleCard card = cardWith(gostRecord(CKK_GOSTR3410));
        card.on(kVerifySignature, {{}, statusWord});
        EXPECT_EQ(verifyWith(card, CKM_GOSTR3410, hash, hostSignature), expected);
        const auto sent = card.commandsStartingWith(kVerifySignature);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(
            sent[0],
            join({kVerifySignature, {0x64, 0x9A, 0x20}, reversed(hash), {0x9E, 0x40}, halvesExchanged(hostSignature)}));
    }

    RuleCard wide = cardWith(gostRecord(CKK_GOSTR3410_512));
    EXPECT_EQ(verifyWith(wide, CKM_GOSTR3410_512, Bytes(64, 1), Bytes(64, 1)), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(verifyWith(wide, CKM_GOSTR3410_512, Bytes(32, 1), Bytes(128, 1)), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(verifyWith(wide, CKM_GOSTR3410_512, Bytes(64, 1), Bytes(128, 1)), CKR_OK);
    const Bytes sent = wide.commandsStartingWith(kVerifySignature).at(0);
    EXPECT_EQ(Bytes(sent.begin() + 4, sent.begin() + 7), (Bytes{197, 0x9A, 0x40}));
    EXPECT_EQ(Bytes(sent.begin() + 71, sent.begin() + 74), (Bytes{0x9E, 0x81, 0x80}));

    RuleCard card = cardWith(gostRecord(CKK_GOSTR3410));
    EXPECT_EQ(verifyData(card.host(), nullptr, hash.data(), 32, hostSignature.data(), 0, &kPublicKey, &kNoState,
                         CKM_GOSTR3410),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(verifyWith(card, CKM_GOSTR3410_WITH_GOSTR3411_12_256, Bytes(5, 1), Bytes(63, 1)),
              CKR_SIGNATURE_LEN_RANGE);
}

// --- RSA ---------------------------------------------------------------------

TEST(RsaSigning, PadsOnTheCardWithTheKeyPairsReference) {
    RuleCard card = cardWith(rsaRecord());
    const Bytes signature = counting(128);
    card.on(kComputeSignature, {signature});
    EXPECT_EQ(signWith(card, CKM_RSA_PKCS, Bytes(118, 1)).rv, CKR_DATA_LEN_RANGE);
    const Signed query = signWith(card, CKM_RSA_PKCS, Bytes(117, 1), 0, true);
    EXPECT_EQ(query.length, 128u);
    EXPECT_EQ(signWith(card, CKM_RSA_PKCS, Bytes(20, 1), 127).rv, CKR_BUFFER_TOO_SMALL);

    // No public-key directory: the private key's own record number.
    card.on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x01}, {{}, 0x6A82});
    const Signed out = signWith(card, CKM_RSA_PKCS, Bytes(20, 7), 128);
    ASSERT_EQ(out.rv, CKR_OK);
    EXPECT_EQ(out.signature, signature);
    EXPECT_EQ(card.commandsStartingWith({0x00, 0x22, 0xC1, 0xB6, 0x03, 0x83, 0x01, 0x61}).size(), 1u);
    EXPECT_EQ(card.commandsStartingWith(kComputeSignature).at(0), join({kComputeSignature, {20}, Bytes(20, 7)}));
}

TEST(RsaSigning, RecordsAndAnswersThatDoNotDescribeA1024BitKeyFail) {
    // A record claiming 512 bits must not turn a 64-byte buffer into the
    // destination of the card's 128-byte answer.
    RuleCard small = cardWith(rsaRecord(512));
    small.on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x01}, {{}, 0x6A82});
    small.on(kComputeSignature, {Bytes(128, 1)});
    EXPECT_EQ(signWith(small, CKM_RSA_PKCS, Bytes(20, 1), 64).rv, CKR_FUNCTION_FAILED);

    RuleCard noBits = cardWith(entry(CKA_KEY_TYPE, number(CKK_RSA)));
    EXPECT_EQ(signWith(noBits, CKM_RSA_PKCS, Bytes(20, 1)).rv, CKR_FUNCTION_FAILED);

    RuleCard truncated = cardWith(rsaRecord());
    truncated.on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x01}, {{}, 0x6A82});
    truncated.on(kComputeSignature, {Bytes(127, 1)});
    const Signed out = signWith(truncated, CKM_RSA_PKCS, Bytes(20, 1), 200);
    EXPECT_EQ(out.rv, CKR_FUNCTION_FAILED);
    EXPECT_EQ(out.signature, Bytes(200, 0xEE));
    EXPECT_EQ(out.length, 200u);
}

TEST(RsaVerification, SendsTheLongSignatureForm) {
    RuleCard card = cardWith(rsaRecord());
    EXPECT_EQ(verifyWith(card, CKM_RSA_PKCS, Bytes(20, 1), Bytes(127, 1)), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(verifyWith(card, CKM_RSA_PKCS, Bytes(118, 1), Bytes(128, 1)), CKR_DATA_LEN_RANGE);
    card.on(kVerifySignature, {{}, 0x6982});
    EXPECT_EQ(verifyWith(card, CKM_RSA_PKCS, Bytes(117, 1), Bytes(128, 2)), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(card.commandsStartingWith({0x00, 0x22, 0xC1, 0xB6, 0x03, 0x83, 0x01, 0x61}).size(), 1u);
    EXPECT_EQ(card.commandsStartingWith(kVerifySignature).at(0),
              join({kVerifySignature, {250, 0x9A, 117}, Bytes(117, 1), {0x9E, 0x81, 0x80}, Bytes(128, 2)}));
}

Bytes typeOneBlock(std::size_t fillers, const Bytes& data) {
    return join({{0x00, 0x01}, Bytes(fillers, 0xFF), {0x00}, data});
}

TEST(RsaRecovery, PaddingOfBlockTypeOne) {
    const Bytes data = counting(20);
    const Bytes good = typeOneBlock(128 - 3 - 20, data);
    const auto recovered = unpadSignatureBlock(good);
    EXPECT_EQ(Bytes(recovered.begin(), recovered.end()), data);
    EXPECT_EQ(unpadSignatureBlock(typeOneBlock(1, counting(124))).size(), 124u);

    Bytes noFiller = join({{0x00, 0x01, 0x00}, counting(125)});
    Bytes noSeparator = join({{0x00, 0x01}, Bytes(126, 0xFF)});
    Bytes nothingAfter = join({{0x00, 0x01}, Bytes(125, 0xFF), {0x00}});
    Bytes typeTwo = good;
    typeTwo[1] = 0x02;
    Bytes leading = good;
    leading[0] = 0x01;
    Bytes badSeparator = good;
    badSeparator[2 + 105] = 0x01;
    for (const Bytes& bad : {noFiller, noSeparator, nothingAfter, typeTwo, leading, badSeparator}) {
        EXPECT_TRUE(unpadSignatureBlock(bad).empty());
    }
}

TEST(RsaRecovery, RecoversThroughTheRawTransform) {
    const Bytes data = counting(36);
    const Bytes block = typeOneBlock(128 - 3 - 36, data);
    RuleCard card = cardWith(rsaRecord());
    card.on(kEncipher, {join({{0x02}, block})});
    const Bytes signature(128, 0x5A);
    CK_ULONG length = 0;
    ASSERT_EQ(verifyRecover(card.host(), nullptr, signature.data(), 128, nullptr, &length, &kPublicKey, &kNoState,
                            CKM_RSA_PKCS),
              CKR_OK);
    EXPECT_EQ(length, 36u);
    Bytes out(36);
    length = 35;
    EXPECT_EQ(verifyRecover(card.host(), nullptr, signature.data(), 128, out.data(), &length, &kPublicKey, &kNoState,
                            CKM_RSA_PKCS),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 36u);
    out.resize(128);
    length = 128;
    ASSERT_EQ(verifyRecover(card.host(), nullptr, signature.data(), 128, out.data(), &length, &kPublicKey, &kNoState,
                            CKM_RSA_PKCS),
              CKR_OK);
    EXPECT_EQ(length, 36u);
    out.resize(length);
    EXPECT_EQ(out, data);
    EXPECT_EQ(card.commandsStartingWith({0x00, 0x22, 0xC1, 0xB8, 0x03, 0x83, 0x01, 0x61}).size(), 3u);
    EXPECT_EQ(card.commandsStartingWith(kEncipher).at(0), join({kEncipher, {0x80}, signature}));
}

TEST(RsaRecovery, RefusesBadArgumentsBlocksAndAnswers) {
    const Bytes signature(128, 0x5A);
    CK_ULONG length = 128;
    Bytes out(128);
    auto recover = [&](RuleCard& card, CK_ULONG signatureLength, CK_MECHANISM_TYPE mechanism = CKM_RSA_PKCS) {
        return verifyRecover(card.host(), nullptr, signature.data(), signatureLength, out.data(), &length, &kPublicKey,
                             &kNoState, mechanism);
    };
    RuleCard card = cardWith(rsaRecord());
    EXPECT_EQ(recover(card, 0), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(recover(card, 64), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(recover(card, 128, CKM_RSA_X_509), CKR_FUNCTION_FAILED);
    EXPECT_EQ(verifyRecover(card.host(), nullptr, signature.data(), 128, out.data(), nullptr, &kPublicKey, &kNoState,
                            CKM_RSA_PKCS),
              CKR_ARGUMENTS_BAD);

    RuleCard gost = cardWith(gostRecord(CKK_GOSTR3410));
    EXPECT_EQ(recover(gost, 128), CKR_FUNCTION_FAILED);  // no modulus bits to go by
    RuleCard gostWithBits = cardWith(gostRecord(CKK_GOSTR3410, entry(CKA_MODULUS_BITS, number(1024))));
    EXPECT_EQ(recover(gostWithBits, 128), CKR_KEY_TYPE_INCONSISTENT);

    RuleCard badBlock = cardWith(rsaRecord());
    badBlock.on(kEncipher, {join({{0x02, 0x00, 0x01, 0x00}, Bytes(125, 1)})});
    EXPECT_EQ(recover(badBlock, 128), CKR_SIGNATURE_INVALID);

    RuleCard shortAnswer = cardWith(rsaRecord());
    shortAnswer.on(kEncipher, {join({{0x02}, typeOneBlock(100, Bytes(24, 1))})});  // 127 bytes
    EXPECT_EQ(recover(shortAnswer, 128), CKR_FUNCTION_FAILED);
}

}  // namespace
}  // namespace korva::sign
