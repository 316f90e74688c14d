// The module's GOST 28147-89 against the GOST engine: one block through the
// engine's "gost89-cbc" with a zero IV is one ECB block, and the engine's CFB
// (as the CFB back end sets it up) equals a CFB built on our ECB, for all
// four S-box sets. The MAC is checked against the engine's "gost-mac".
#include "ciphers/gost28147.h"
#include "ciphers/gost_cfb.h"

#include "tests/support/stack_probe.h"

#include "common/openssl_ptr.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <span>
#include <vector>

namespace korva::ciphers {
namespace {

using test::stackBelowHolds;

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, kGostKeyBytes>;

constexpr int kCodes[] = {5, 6, 7, 8};

Bytes randomBytes(std::size_t length) {
    Bytes bytes(length);
    if (length != 0) {
        EXPECT_EQ(RAND_bytes(bytes.data(), int(length)), 1);
    }
    return bytes;
}

Key randomKey() {
    Key key{};
    EXPECT_EQ(RAND_bytes(key.data(), int(key.size())), 1);
    return key;
}

const EVP_CIPHER* engineCipher(const char* name) {
    const EVP_CIPHER* cipher = EVP_get_cipherbyname(name);
    if (cipher == nullptr) ADD_FAILURE() << "the GOST engine offers no " << name;
    return cipher;
}

// One block of the engine's CBC with a zero IV, under the S-box of `code`.
Bytes engineBlock(uint8_t code, const Key& key, std::span<const uint8_t> block, bool encrypt) {
    const EVP_CIPHER* cipher = engineCipher("gost89-cbc");
    if (cipher == nullptr) return {};
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    const uint8_t zeroIv[kGostBlockBytes] = {};
    Bytes out(kGostBlockBytes);
    int length = 0;
    EXPECT_EQ(EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), zeroIv, encrypt ? 1 : 0), 1);
    EXPECT_GT(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>(gostParameterSetName(code))),
              0);
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    EXPECT_EQ(EVP_CipherUpdate(context.get(), out.data(), &length, block.data(), int(block.size())), 1);
    EXPECT_EQ(length, int(kGostBlockBytes));
    return out;
}

Bytes ecb(uint8_t code, const Key& key, const Bytes& input, GostDirection direction) {
    Bytes out(input.size() / kGostBlockBytes * kGostBlockBytes);
    EXPECT_TRUE(gostEcb(code, key, input, out, direction));
    return out;
}

// 64-bit CFB made from our ECB: each keystream block is the encryption of
// the previous ciphertext block.
Bytes cfbFromOurEcb(uint8_t code, const Key& key, const Bytes& iv, const Bytes& input, bool encrypt) {
    Bytes feedback = iv;
    Bytes out(input.size());
    for (std::size_t offset = 0; offset < input.size(); offset += kGostBlockBytes) {
        const Bytes stream = ecb(code, key, feedback, GostDirection::kEncrypt);
        const std::size_t take = std::min(kGostBlockBytes, input.size() - offset);
        for (std::size_t i = 0; i < take; ++i) out[offset + i] = input[offset + i] ^ stream[i];
        const Bytes& cipherText = encrypt ? out : input;
        std::copy_n(cipherText.begin() + std::ptrdiff_t(offset), take, feedback.begin());
    }
    return out;
}

class EverySBox : public ::testing::TestWithParam<int> {};

TEST_P(EverySBox, EcbAgreesWithTheEngineBlockForBlock) {
    const auto code = uint8_t(GetParam());
    const Key key = randomKey();
    const Bytes plain = randomBytes(8 * kGostBlockBytes);
    const Bytes cipherText = ecb(code, key, plain, GostDirection::kEncrypt);
    for (std::size_t offset = 0; offset < plain.size(); offset += kGostBlockBytes) {
        const auto block = std::span(plain).subspan(offset, kGostBlockBytes);
        const Bytes expected = engineBlock(code, key, block, true);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), cipherText.begin() + std::ptrdiff_t(offset)))
            << "block " << offset / kGostBlockBytes;
    }
    EXPECT_EQ(ecb(code, key, cipherText, GostDirection::kDecrypt), plain);
    EXPECT_EQ(engineBlock(code, key, std::span(cipherText).first(kGostBlockBytes), false),
              Bytes(plain.begin(), plain.begin() + kGostBlockBytes));
}

TEST_P(EverySBox, EngineCfbEqualsCfbOnOurEcb) {
    const auto code = uint8_t(GetParam());
    const Key key = randomKey();
    const Bytes iv = randomBytes(kGostBlockBytes);
    // Past 1024 bytes, so that key meshing would show if it were left on.
    for (const std::size_t length : {1u, 7u, 8u, 9u, 300u, 1100u}) {
        const Bytes plain = randomBytes(length);
        Bytes cipherText(length);
        ASSERT_TRUE(gostCfb(code, key, std::span<const uint8_t, 8>(iv), plain, cipherText, GostDirection::kEncrypt));
        EXPECT_EQ(cipherText, cfbFromOurEcb(code, key, iv, plain, true)) << length << " bytes";
        Bytes back(length);
        ASSERT_TRUE(gostCfb(code, key, std::span<const uint8_t, 8>(iv), cipherText, back, GostDirection::kDecrypt));
        EXPECT_EQ(back, plain) << length << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(CryptoPro, EverySBox, ::testing::ValuesIn(kCodes),
                         [](const auto& test) { return std::string(1, char('A' + test.param - 5)); });

TEST(Gost28147, EcbWorksInPlaceAndIgnoresATrailingPartialBlock) {
    const Key key = randomKey();
    const Bytes input = randomBytes(3 * kGostBlockBytes + 5);
    const Bytes expected = ecb(5, key, input, GostDirection::kEncrypt);
    ASSERT_EQ(expected.size(), 3 * kGostBlockBytes);
    Bytes inPlace = input;
    ASSERT_TRUE(gostEcb(5, key, inPlace, inPlace, GostDirection::kEncrypt));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), inPlace.begin()));
    EXPECT_TRUE(std::equal(input.end() - 5, input.end(), inPlace.end() - 5));  // untouched
}

TEST(Gost28147, RefusesUnknownCodesAndShortBuffers) {
    const Key key{};
    Bytes block(kGostBlockBytes);
    const std::array<uint8_t, kGostMacDataBytes> data{};
    std::array<uint8_t, kGostMacBytes> mac{};
    for (const uint8_t code : {0, 4, 9, 0xFF}) {
        EXPECT_FALSE(gostEcb(code, key, block, block, GostDirection::kEncrypt)) << int(code);
        EXPECT_FALSE(gostMac32({}, code, key, data, mac)) << int(code);
        EXPECT_FALSE(gostCfb(code, key, std::span<const uint8_t, 8>(block), block, block, GostDirection::kEncrypt));
        EXPECT_EQ(gostParameterSetName(code), nullptr);
    }
    Bytes shortOutput(kGostBlockBytes - 1);
    EXPECT_FALSE(gostEcb(5, key, block, shortOutput, GostDirection::kEncrypt));
    EXPECT_FALSE(gostMac32(Bytes(7), 5, key, data, mac));
}

// `openssl dgst -engine gost -mac gost-mac -macopt hexkey:<key>` over the
// bytes 00..1F gives 31fa45ad (the engine's MAC uses the CryptoPro-A S-box
// and a zero initial value).
TEST(Gost28147, MacMatchesTheEngineAndTreatsNoIvAsZeros) {
    Key key{};
    const Bytes keyBytes = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45,
                            0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB,
                            0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    std::ranges::copy(keyBytes, key.begin());
    std::array<uint8_t, kGostMacDataBytes> data{};
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
    std::array<uint8_t, kGostMacBytes> withoutIv{}, withZeroIv{}, withOtherIv{};
    ASSERT_TRUE(gostMac32({}, 5, key, data, withoutIv));
    ASSERT_TRUE(gostMac32(Bytes(kGostBlockBytes, 0), 5, key, data, withZeroIv));
    ASSERT_TRUE(gostMac32(Bytes(kGostBlockBytes, 1), 5, key, data, withOtherIv));
    EXPECT_EQ(withoutIv, (std::array<uint8_t, 4>{0x31, 0xFA, 0x45, 0xAD}));
    EXPECT_EQ(withZeroIv, withoutIv);
    EXPECT_NE(withOtherIv, withoutIv);
}

// The key words (the key itself, in the same byte order) leave nothing on
// the stack. The key lives on the heap; a first call keeps the dynamic
// linker's own stack writes out of the probed one.
TEST(Gost28147, KeyWordsAreWipedFromTheStack) {
    const Bytes key = randomBytes(kGostKeyBytes), cipherText = randomBytes(kGostMacDataBytes);
    Bytes plain(kGostMacDataBytes), mac(kGostMacBytes);
    const std::span<const uint8_t, kGostKeyBytes> keySpan(key.data(), kGostKeyBytes);
    for (int call = 0; call < 2; ++call) {
        ASSERT_TRUE(gostEcb(5, keySpan, cipherText, plain, GostDirection::kDecrypt));
    }
    EXPECT_FALSE(stackBelowHolds(std::span(key).first(16))) << "key words after gostEcb";
    for (int call = 0; call < 2; ++call) {
        ASSERT_TRUE(gostMac32({}, 5, keySpan,
                              std::span<const uint8_t, kGostMacDataBytes>(plain.data(), kGostMacDataBytes),
                              std::span<uint8_t, kGostMacBytes>(mac.data(), kGostMacBytes)));
    }
    EXPECT_FALSE(stackBelowHolds(std::span(key).first(16))) << "key words after gostMac32";
}

}  // namespace
}  // namespace korva::ciphers
