// The working lists of a key-pair generation: CKA_ID pairing, GOST
// parameter sets and key types, RSA template checks. No card is involved.
#include "keys/key_pair_templates.h"

#include <korva/pkcs11_constants.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korva::keys {
namespace {

using abi::CK_ATTRIBUTE;
using objects::TemplateLookup;
using objects::TemplateRecord;
using Bytes = std::vector<uint8_t>;

CK_ATTRIBUTE attr(uint32_t type, Bytes& value) { return {type, value.data(), uint32_t(value.size())}; }
CK_ATTRIBUTE attr(uint32_t type, uint32_t& number) { return {type, &number, sizeof number}; }

Bytes valueOf(const TemplateRecord& list, uint32_t type) {
    std::span<const uint8_t> value;
    if (list.viewBytes(type, value) != TemplateLookup::Found) return {0xDE, 0xAD};
    return Bytes(value.begin(), value.end());
}

int countOf(const TemplateRecord& list, uint32_t type) {
    int n = 0;
    for (const CK_ATTRIBUTE& a : list.entries()) n += a.type == type ? 1 : 0;
    return n;
}

CK_RV pair(std::vector<CK_ATTRIBUTE> pub, std::vector<CK_ATTRIBUTE> priv, KeyPairLists& lists) {
    EXPECT_EQ(copyTemplates(pub, priv, lists), abi::CKR_OK);
    return pairKeyIds(lists);
}

// ---------------------------------------------------------------------------

TEST(KeyIdPairing, MissingFromBothGivesEachListOneEmptyIdentifier) {
    KeyPairLists lists;
    CK_ATTRIBUTE unavailable{abi::CKA_ID, nullptr, abi::KORVA_UNAVAILABLE_LENGTH};
    ASSERT_EQ(pair({unavailable}, {}, lists), abi::CKR_OK);
    for (const TemplateRecord* list : {&lists.publicKey, &lists.privateKey}) {
        EXPECT_EQ(countOf(*list, abi::CKA_ID), 1);
        EXPECT_EQ(valueOf(*list, abi::CKA_ID), Bytes{});
    }
}

TEST(KeyIdPairing, GivenIdentifiersMustBeEqualAndNotEmpty) {
    Bytes a = {'k', '1'}, same = {'k', '1'}, other = {'k', '2'}, longer = {'k', '1', '0'}, empty;
    KeyPairLists lists;
    EXPECT_EQ(pair({attr(abi::CKA_ID, a)}, {attr(abi::CKA_ID, same)}, lists), abi::CKR_OK);
    EXPECT_EQ(pair({attr(abi::CKA_ID, a)}, {attr(abi::CKA_ID, other)}, lists), abi::CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(pair({attr(abi::CKA_ID, a)}, {attr(abi::CKA_ID, longer)}, lists), abi::CKR_ATTRIBUTE_VALUE_INVALID);
    // An empty identifier is refused even when the other half has none.
    EXPECT_EQ(pair({attr(abi::CKA_ID, empty)}, {}, lists), abi::CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(pair({attr(abi::CKA_ID, empty)}, {attr(abi::CKA_ID, empty)}, lists), abi::CKR_ATTRIBUTE_VALUE_INVALID);
    // A length without bytes cannot be compared.
    CK_ATTRIBUTE noBytes{abi::CKA_ID, nullptr, 2};
    EXPECT_EQ(pair({noBytes}, {attr(abi::CKA_ID, a)}, lists), abi::CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST(KeyIdPairing, IdentifierInOneTemplateOnlyIsIncomplete) {
    Bytes id = {'x'};
    KeyPairLists lists;
    EXPECT_EQ(pair({attr(abi::CKA_ID, id)}, {}, lists), abi::CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(pair({}, {attr(abi::CKA_ID, id)}, lists), abi::CKR_TEMPLATE_INCOMPLETE);
}

TEST(KeyIdPairing, FullListCannotTakeTheEmptyIdentifier) {
    std::vector<uint8_t> label = {'L'};
    std::vector<CK_ATTRIBUTE> full(TemplateRecord::kCapacity, CK_ATTRIBUTE{abi::CKA_LABEL, label.data(), 1});
    KeyPairLists lists;
    EXPECT_EQ(pair({}, full, lists), abi::CKR_VENDOR_ATTRIBUTE_LIST_FULL);
}

// An entry of length 0xFFFFFFFF says "no value": the pairing looks past it
// to nothing, but an identifier given after it is kept (and must agree),
// and the empty identifier is appended, not swapped in, so a full list
// still cannot take it.
TEST(KeyIdPairing, IdentifierAfterANoValueEntryIsKept) {
    Bytes k1 = {'k', '1'}, same = {'k', '1'}, k2 = {'k', '2'}, label = {'L'};
    const CK_ATTRIBUTE noValue{abi::CKA_ID, nullptr, abi::KORVA_UNAVAILABLE_LENGTH};
    KeyPairLists lists;
    ASSERT_EQ(pair({noValue, attr(abi::CKA_ID, k1)}, {noValue, attr(abi::CKA_ID, same)}, lists), abi::CKR_OK);
    EXPECT_EQ(valueOf(lists.publicKey, abi::CKA_ID), k1);
    EXPECT_EQ(valueOf(lists.privateKey, abi::CKA_ID), k1);
    EXPECT_EQ(pair({noValue, attr(abi::CKA_ID, k1)}, {noValue, attr(abi::CKA_ID, k2)}, lists),
              abi::CKR_ATTRIBUTE_VALUE_INVALID);
    std::vector<CK_ATTRIBUTE> full(TemplateRecord::kCapacity - 1, attr(abi::CKA_LABEL, label));
    full.insert(full.begin(), noValue);
    EXPECT_EQ(pair({}, full, lists), abi::CKR_VENDOR_ATTRIBUTE_LIST_FULL);
}

// ---------------------------------------------------------------------------

GostChoice chooseGost(uint32_t mechanism, std::vector<CK_ATTRIBUTE> pub, std::vector<CK_ATTRIBUTE> priv,
                      KeyPairLists& lists, CK_RV expected = abi::CKR_OK) {
    GostChoice choice;
    EXPECT_EQ(copyTemplates(pub, priv, lists), abi::CKR_OK);
    EXPECT_EQ(chooseGostParameters(lists, *findKeyPairMechanism(mechanism), choice), expected);
    return choice;
}

Bytes der(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }
const Bytes kOidHash94 = der({0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01});
const Bytes kOidXchA = der({0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00});
const Bytes kOidTc26_512B = der({0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x02});

TEST(GostParameters, NamedSetsChooseCurveAndHashAndLeaveThePrivateListAlone) {
    Bytes curve = kOidXchA, digest = kOidHash94;
    KeyPairLists lists;
    const GostChoice choice =
        chooseGost(abi::CKM_GOSTR3410_KEY_PAIR_GEN,
                   {attr(abi::CKA_GOSTR3410_PARAMS, curve), attr(abi::CKA_GOSTR3411_PARAMS, digest)}, {}, lists);
    EXPECT_EQ(choice.curveCode, 2);
    EXPECT_FALSE(choice.hash2012);  // a GOST R 34.10-2001 key
    EXPECT_EQ(lists.privateKey.find(abi::CKA_GOSTR3410_PARAMS), nullptr);
    EXPECT_EQ(lists.privateKey.find(abi::CKA_GOSTR3411_PARAMS), nullptr);

    Bytes wide = kOidTc26_512B;
    EXPECT_EQ(
        chooseGost(abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, {attr(abi::CKA_GOSTR3410_PARAMS, wide)}, {}, lists).curveCode,
        10);
}

TEST(GostParameters, UnknownOrMismatchedIdentifiersAreInvalid) {
    Bytes unknownCurve = der({0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x07});
    Bytes trailing = kOidXchA;
    trailing.push_back(0x00);
    Bytes wide = kOidTc26_512B, narrow = kOidXchA;
    Bytes cipherSet = der({0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01});
    const uint32_t gost256 = abi::CKM_GOSTR3410_KEY_PAIR_GEN;
    KeyPairLists lists;
    chooseGost(gost256, {attr(abi::CKA_GOSTR3410_PARAMS, unknownCurve)}, {}, lists, abi::CKR_ATTRIBUTE_VALUE_INVALID);
    chooseGost(gost256, {attr(abi::CKA_GOSTR3410_PARAMS, trailing)}, {}, lists, abi::CKR_ATTRIBUTE_VALUE_INVALID);
    chooseGost(gost256, {attr(abi::CKA_GOSTR3410_PARAMS, wide)}, {}, lists, abi::CKR_ATTRIBUTE_VALUE_INVALID);
    chooseGost(abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, {attr(abi::CKA_GOSTR3410_PARAMS, narrow)}, {}, lists,
               abi::CKR_ATTRIBUTE_VALUE_INVALID);
    chooseGost(gost256, {attr(abi::CKA_GOSTR3411_PARAMS, cipherSet)}, {}, lists, abi::CKR_ATTRIBUTE_VALUE_INVALID);
    CK_ATTRIBUTE noBytes{abi::CKA_GOSTR3410_PARAMS, nullptr, 9};
    chooseGost(gost256, {noBytes}, {}, lists, abi::CKR_FUNCTION_FAILED);
}

TEST(GostParameters, TemplatesCannotNameAnotherKeyTypeOrKeyObject) {
    uint32_t rsa = abi::CKK_RSA;
    KeyPairLists lists;
    chooseGost(abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {attr(abi::CKA_KEY_TYPE, rsa)}, lists,
               abi::CKR_TEMPLATE_INCONSISTENT);

    Bytes foreignKey = {0x31};
    uint32_t same = abi::CKK_GOSTR3410;
    chooseGost(abi::CKM_GOSTR3410_KEY_PAIR_GEN, {attr(abi::CKA_VENDOR_KEY_REFERENCE, foreignKey)},
               {attr(abi::CKA_KEY_TYPE, same)}, lists);
    ASSERT_EQ(setKeyReference(lists, 0x3A), abi::CKR_OK);
    for (const TemplateRecord* list : {&lists.publicKey, &lists.privateKey}) {
        EXPECT_EQ(valueOf(*list, abi::CKA_VENDOR_KEY_REFERENCE), Bytes{0x3A});
        EXPECT_EQ(countOf(*list, abi::CKA_VENDOR_KEY_REFERENCE), 1);
        EXPECT_EQ(countOf(*list, abi::CKA_KEY_TYPE), 1);
    }
}

// ---------------------------------------------------------------------------

CK_RV checkRsa(std::vector<CK_ATTRIBUTE> pub, uint32_t& exponent) { return checkRsaPublicTemplate(pub, exponent); }

TEST(RsaTemplate, ModulusBitsMustBe1024) {
    uint32_t exponent = 0;
    uint32_t bits1024 = 1024, bits2048 = 2048;
    Bytes twoBytes = {0x04, 0x00};
    EXPECT_EQ(checkRsa({}, exponent), abi::CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(checkRsa({attr(abi::CKA_MODULUS_BITS, twoBytes)}, exponent), abi::CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(checkRsa({attr(abi::CKA_MODULUS_BITS, bits2048)}, exponent), abi::CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(checkRsa({attr(abi::CKA_MODULUS_BITS, bits1024)}, exponent), abi::CKR_OK);
    EXPECT_EQ(exponent, kDefaultRsaExponent);
}

TEST(RsaTemplate, ExponentIsThreeSeventeenOr65537WithOnlyZerosInFront) {
    struct Case {
        Bytes value;
        CK_RV rv;
        uint32_t exponent;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01}, abi::CKR_OK, 65537},
        {{0x01, 0x00, 0x01}, abi::CKR_OK, 65537},
        {{0x03}, abi::CKR_OK, 3},
        {{0x00, 0x11}, abi::CKR_OK, 17},
        {{0x01, 0x00, 0x00, 0x01, 0x00, 0x01}, abi::CKR_ATTRIBUTE_VALUE_INVALID, 0},
        {{0x05}, abi::CKR_ATTRIBUTE_VALUE_INVALID, 0},
        {{}, abi::CKR_ATTRIBUTE_VALUE_INVALID, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.value));
        uint32_t bits = 1024, exponent = 0;
        Bytes value = c.value;
        EXPECT_EQ(checkRsa({attr(abi::CKA_MODULUS_BITS, bits), attr(abi::CKA_PUBLIC_EXPONENT, value)}, exponent), c.rv);
        if (c.rv == abi::CKR_OK) {
            EXPECT_EQ(exponent, c.exponent);
        }
    }
}

TEST(RsaTemplate, PrivateKeyMayDecryptUnlessBothHalvesSayNo) {
    struct Case {
        int encrypt, decrypt;  // -1: not given
        bool mayDecrypt;
    };
    const Case cases[] = {{-1, -1, true}, {0, -1, true}, {0, 0, false}, {1, 0, true}, {-1, 0, true}, {0, 1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.encrypt) + "/" + std::to_string(c.decrypt));
        Bytes encrypt = {uint8_t(c.encrypt)}, decrypt = {uint8_t(c.decrypt)};
        std::vector<CK_ATTRIBUTE> pub, priv;
        if (c.encrypt >= 0) pub.push_back(attr(abi::CKA_ENCRYPT, encrypt));
        if (c.decrypt >= 0) priv.push_back(attr(abi::CKA_DECRYPT, decrypt));
        KeyPairLists lists;
        ASSERT_EQ(copyTemplates(pub, priv, lists), abi::CKR_OK);
        EXPECT_EQ(rsaMayDecrypt(lists), c.mayDecrypt);
    }
}

}  // namespace
}  // namespace korva::keys
