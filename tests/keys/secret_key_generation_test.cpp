// Slot 19 through the loaded module on the virtual card: each mechanism
// makes a key of the right type and length from the card's randomness that
// the cipher slots use as OpenSSL does the same key value, DES keys have odd
// parity, and refused templates create nothing.
#include "tests/keys/secret_key_fixture.h"

#include <bit>
#include <cstring>

namespace korva::test {
namespace {

using abi::CK_RV;

struct GenerationCase {
    const char* name;
    uint32_t mechanism;
    uint32_t valueLength;  // CKA_VALUE_LEN in the template, 0 for none
    uint32_t keyType;
    size_t keyLength;
    uint32_t cipher;  // a mechanism that ciphers with the key
};

const GenerationCase kGenerations[] = {
    {"Des", abi::CKM_DES_KEY_GEN, 0, abi::CKK_DES, 8, abi::CKM_DES_CBC},
    {"Des2", abi::CKM_DES2_KEY_GEN, 0, abi::CKK_DES2, 16, abi::CKM_DES3_ECB},
    {"Aes16", abi::CKM_AES_KEY_GEN, 16, abi::CKK_AES, 16, abi::CKM_AES_CBC},
    {"Aes24", abi::CKM_AES_KEY_GEN, 24, abi::CKK_AES, 24, abi::CKM_AES_ECB},
    {"Aes32", abi::CKM_AES_KEY_GEN, 32, abi::CKK_AES, 32, abi::CKM_AES_CBC_PAD},
};

class GeneratedKey : public SecretKeyTest, public ::testing::WithParamInterface<GenerationCase> {};

TEST_P(GeneratedKey, HoldsCardRandomnessOfTheMechanismsTypeAndLength) {
    const GenerationCase& c = GetParam();
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).flag(abi::CKA_TOKEN, true).text(abi::CKA_LABEL, c.name);
    if (c.valueLength != 0) tmpl.number(abi::CKA_VALUE_LEN, c.valueLength);
    const NewKey key = generate(c.mechanism, tmpl);
    ASSERT_EQ(key.rv, abi::CKR_OK);
    EXPECT_EQ(uint32_t{key.summary.objectClass}, abi::CKO_SECRET_KEY);
    EXPECT_EQ(key.handle.directoryHigh, 0x50);
    EXPECT_EQ(key.handle.directoryLow, 0x03);

    const std::optional<FoundObject> object = readAll(key.handle);
    ASSERT_TRUE(object);
    Bytes keyType(4);
    std::memcpy(keyType.data(), &c.keyType, 4);
    EXPECT_EQ(object->get(abi::CKA_KEY_TYPE), keyType);

    const Bytes secret = cardSecret(uint16_t(0x6300 | key.handle.record), c.keyLength);
    ASSERT_EQ(secret.size(), c.keyLength);
    EXPECT_NE(secret, Bytes(c.keyLength, 0));
    if (c.keyType != abi::CKK_AES) {
        for (uint8_t byte : secret) EXPECT_EQ(std::popcount(unsigned(byte)) % 2, 1) << int(byte);
    }

    const Bytes iv = patternBytes(ivLengthOf(c.cipher), 7);
    const Bytes message = patternBytes(48, 3);
    const Outcome encrypted = once(Direction::kEncrypt, c.cipher, key.handle, iv, message);
    ASSERT_EQ(encrypted.rv, abi::CKR_OK);
    EXPECT_EQ(encrypted.data, referenceCipher(c.cipher, secret, 0, iv, message, Direction::kEncrypt));
    const Outcome decrypted = once(Direction::kDecrypt, c.cipher, key.handle, iv, encrypted.data);
    ASSERT_EQ(decrypted.rv, abi::CKR_OK);
    EXPECT_EQ(decrypted.data, message);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, GeneratedKey, ::testing::ValuesIn(kGenerations),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(SecretKeyTest, TwoGeneratedKeysDiffer) {
    Template first, second;
    first.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_VALUE_LEN, 32);
    second.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_VALUE_LEN, 32);
    const NewKey a = generate(abi::CKM_AES_KEY_GEN, first);
    const NewKey b = generate(abi::CKM_AES_KEY_GEN, second);
    ASSERT_EQ(a.rv, abi::CKR_OK);
    ASSERT_EQ(b.rv, abi::CKR_OK);
    EXPECT_NE(cardSecret(uint16_t(0x6300 | a.handle.record), 32), cardSecret(uint16_t(0x6300 | b.handle.record), 32));
}

struct Refusal {
    const char* name;
    uint32_t mechanism;
    Template (*build)();
    CK_RV expected;
};

Template secretClass() {
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY);
    return tmpl;
}

const Refusal kRefusals[] = {
    {"NoClass", abi::CKM_DES_KEY_GEN,
     [] {
         Template tmpl;
         tmpl.text(abi::CKA_LABEL, "x");
         return tmpl;
     },
     abi::CKR_TEMPLATE_INCOMPLETE},
    {"DataClass", abi::CKM_DES_KEY_GEN,
     [] {
         Template tmpl;
         tmpl.number(abi::CKA_CLASS, abi::CKO_DATA);
         return tmpl;
     },
     abi::CKR_ATTRIBUTE_VALUE_INVALID},
    {"UnknownMechanism", abi::CKM_RSA_PKCS_KEY_PAIR_GEN, secretClass, abi::CKR_MECHANISM_INVALID},
    {"AesWithoutLength", abi::CKM_AES_KEY_GEN, secretClass, abi::CKR_TEMPLATE_INCOMPLETE},
    {"AesLength20", abi::CKM_AES_KEY_GEN,
     [] {
         Template tmpl = secretClass();
         tmpl.number(abi::CKA_VALUE_LEN, 20);
         return tmpl;
     },
     abi::CKR_ATTRIBUTE_VALUE_INVALID},
    {"ValueGiven", abi::CKM_DES_KEY_GEN,
     [] {
         Template tmpl = secretClass();
         tmpl.bytes(abi::CKA_VALUE, Bytes(8, 1));
         return tmpl;
     },
     abi::CKR_ATTRIBUTE_VALUE_INVALID},
    {"KeyTypeOfAnotherMechanism", abi::CKM_DES_KEY_GEN,
     [] {
         Template tmpl = secretClass();
         tmpl.number(abi::CKA_KEY_TYPE, abi::CKK_AES);
         return tmpl;
     },
     abi::CKR_TEMPLATE_INCONSISTENT},
};

class RefusedGeneration : public SecretKeyTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedGeneration, CreatesNothing) {
    const Bytes before = counters();
    Template tmpl = GetParam().build();
    EXPECT_EQ(generate(GetParam().mechanism, tmpl).rv, GetParam().expected);
    EXPECT_EQ(counters(), before);
}

INSTANTIATE_TEST_SUITE_P(Templates, RefusedGeneration, ::testing::ValuesIn(kRefusals),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The card is the only source of key material.
TEST_F(SecretKeyTest, GenerationFailsWhenTheCardGivesNoRandomNumbers) {
    const Bytes before = counters();
    host->failOn("00 84", Fault::status(0x6A, 0x86));
    Template tmpl = secretClass();
    EXPECT_EQ(generate(abi::CKM_DES2_KEY_GEN, tmpl).rv, abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(counters(), before);
}

}  // namespace
}  // namespace korva::test
