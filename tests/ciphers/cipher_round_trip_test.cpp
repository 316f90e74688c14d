// Every mechanism of the cipher slots with every kind of key it takes, both
// directions, single-part and in pieces of awkward sizes, against OpenSSL
// (and the GOST engine) run on the same key value, IV and padding.
#include "tests/ciphers/cipher_fixture.h"

namespace korva::test {
namespace {

using namespace korva::abi;

struct RoundTrip {
    const char* name;
    uint32_t mechanism;
    KeySpec key;
};
void PrintTo(const RoundTrip& row, std::ostream* out) { *out << row.name; }

const RoundTrip kRows[] = {
    {"DesEcb", CKM_DES_ECB, {CKK_DES, 8}},
    {"DesCbc", CKM_DES_CBC, {CKK_DES, 8}},
    {"DesCbcPad", CKM_DES_CBC_PAD, {CKK_DES, 8}},
    {"Des3EcbTwoKeyCard", CKM_DES3_ECB, {CKK_DES2, 16}},
    {"Des3CbcTwoKeyCard", CKM_DES3_CBC, {CKK_DES2, 16}},
    {"Des3CbcPadTwoKeyCard", CKM_DES3_CBC_PAD, {CKK_DES2, 16}},
    {"Des3EcbSession", CKM_DES3_ECB, {CKK_DES3, 24, KeyHome::kSession}},
    {"Des3CbcSession", CKM_DES3_CBC, {CKK_DES3, 24, KeyHome::kSession}},
    {"Des3CbcPadSession", CKM_DES3_CBC_PAD, {CKK_DES3, 24, KeyHome::kSession}},
    {"Des3CbcThreeKeyToken", CKM_DES3_CBC, {CKK_DES3, 24, KeyHome::kTokenDes3}},
    {"Des3CbcPadThreeKeyToken", CKM_DES3_CBC_PAD, {CKK_DES3, 24, KeyHome::kTokenDes3}},
    {"AesEcb128", CKM_AES_ECB, {CKK_AES, 16}},
    {"AesCbc192", CKM_AES_CBC, {CKK_AES, 24}},
    {"AesCbcPad256", CKM_AES_CBC_PAD, {CKK_AES, 32}},
    {"AesCbcPad128", CKM_AES_CBC_PAD, {CKK_AES, 16}},
    {"GostEcbA", CKM_GOST28147_ECB, {CKK_GOST28147, 32, KeyHome::kToken, 5}},
    {"GostEcbC", CKM_GOST28147_ECB, {CKK_GOST28147, 32, KeyHome::kToken, 7}},
    {"GostCfbA", CKM_GOST28147, {CKK_GOST28147, 32, KeyHome::kToken, 5}},
    {"GostCfbB", CKM_GOST28147, {CKK_GOST28147, 32, KeyHome::kToken, 6}},
    {"GostCfbD", CKM_GOST28147, {CKK_GOST28147, 32, KeyHome::kToken, 8}},
};

constexpr std::size_t kAwkward[] = {1, 7, 8, 9, 15, 16, 17, 223, 224, 225, 300};

bool takesLength(uint32_t mechanism, std::size_t length) {
    return isPadded(mechanism) || mechanism == CKM_GOST28147 || length % blockOf(mechanism) == 0;
}

class EveryMechanism : public CipherTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(EveryMechanism, SinglePartEqualsOpenSsl) {
    const RoundTrip& row = GetParam();
    Bytes keyValue;
    const ObjectHandle key = makeKey(row.key, keyValue);
    const Bytes iv = patternBytes(ivLengthOf(row.mechanism), 0xA5);
    for (std::size_t length : kAwkward) {
        const Bytes plain = patternBytes(length, uint8_t(length));
        if (!takesLength(row.mechanism, length)) {
            EXPECT_EQ(once(Direction::kEncrypt, row.mechanism, key, iv, plain).rv, CKR_DATA_LEN_RANGE) << length;
            continue;
        }
        const Bytes expected =
            referenceCipher(row.mechanism, keyValue, row.key.gostCode, iv, plain, Direction::kEncrypt);
        const Outcome encrypted = once(Direction::kEncrypt, row.mechanism, key, iv, plain);
        ASSERT_EQ(encrypted.rv, CKR_OK) << length;
        EXPECT_EQ(encrypted.data, expected) << length << " bytes";
        const Outcome decrypted = once(Direction::kDecrypt, row.mechanism, key, iv, expected);
        ASSERT_EQ(decrypted.rv, CKR_OK) << length;
        EXPECT_EQ(decrypted.data, plain) << length << " bytes";
    }
}

TEST_P(EveryMechanism, PiecesOfAwkwardSizesEqualOpenSsl) {
    const RoundTrip& row = GetParam();
    Bytes keyValue;
    const ObjectHandle key = makeKey(row.key, keyValue);
    const Bytes iv = patternBytes(ivLengthOf(row.mechanism), 0x3C);
    // 300 bytes where the mechanism pads or takes any length, else 304.
    const Bytes plain = patternBytes(takesLength(row.mechanism, 300) ? 300 : 304, 0x11);
    const Bytes expected = referenceCipher(row.mechanism, keyValue, row.key.gostCode, iv, plain, Direction::kEncrypt);
    for (std::size_t piece : kAwkward) {
        const Outcome encrypted = inPieces(Direction::kEncrypt, row.mechanism, key, iv, plain, piece);
        ASSERT_EQ(encrypted.rv, CKR_OK) << "pieces of " << piece;
        EXPECT_EQ(encrypted.data, expected) << "pieces of " << piece;
        const Outcome decrypted = inPieces(Direction::kDecrypt, row.mechanism, key, iv, expected, piece);
        ASSERT_EQ(decrypted.rv, CKR_OK) << "pieces of " << piece;
        EXPECT_EQ(decrypted.data, plain) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Ciphers, EveryMechanism, ::testing::ValuesIn(kRows),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace korva::test
