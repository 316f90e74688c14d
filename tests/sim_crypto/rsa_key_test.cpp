#include "common/openssl_ptr.h"
#include "sim/crypto/rsa_key.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace korva::sim::crypto {
namespace {

using Bytes = std::vector<uint8_t>;

// OpenSSL's own PKCS#1 v1.5 verification of a card signature, with the key
// built from the card's public-key answer (8-byte exponent, modulus).
Bytes recoverWithOpenSsl(std::span<const uint8_t> cardPublicKey, std::span<const uint8_t> signature) {
    const BigNumber e = bigNumberFromBytes(cardPublicKey.first(kRsaExponentBytes));
    const BigNumber n = bigNumberFromBytes(cardPublicKey.subspan(kRsaExponentBytes));
    const OsslParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!e || !n || !builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        return {};
    }
    const OsslParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    const EvpPkeyCtxPtr maker(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !maker || EVP_PKEY_fromdata_init(maker.get()) != 1 ||
        EVP_PKEY_fromdata(maker.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return {};
    }
    const EvpPkeyPtr key(raw);
    const EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    Bytes out(kRsaModulusBytes);
    std::size_t length = out.size();
    if (!context || EVP_PKEY_verify_recover_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(context.get(), out.data(), &length, signature.data(), signature.size()) != 1) {
        return {};
    }
    out.resize(length);
    return out;
}

class RsaKeyTest : public testing::Test {
protected:
    static void SetUpTestSuite() { key_ = new RsaKey(*RsaKey::generate(65537)); }
    static void TearDownTestSuite() {
        delete key_;
        key_ = nullptr;
    }
    static RsaKey* key_;
};
RsaKey* RsaKeyTest::key_ = nullptr;

TEST_F(RsaKeyTest, PublicKeyIsExponentThenFullLengthModulus) {
    const Bytes publicKey = key_->publicKey();
    ASSERT_EQ(publicKey.size(), 136u);
    EXPECT_EQ(Bytes(publicKey.begin(), publicKey.begin() + 8), (Bytes{0, 0, 0, 0, 0, 1, 0, 1}));
    EXPECT_GE(publicKey[8], 0x80) << "the modulus has exactly 1024 bits";
    EXPECT_EQ(publicKey.back() & 1, 1);
}

TEST_F(RsaKeyTest, TypeOneSignatureVerifiesWithOpenSslAndThroughThePublicOperation) {
    for (const std::size_t length : {std::size_t{0}, std::size_t{35}, kRsaMaxSignedData}) {
        Bytes data(length);
        std::ranges::generate(data, [n = 0]() mutable { return static_cast<uint8_t>(n++ * 7 + 1); });
        const Bytes signature = key_->signPkcs1(data);
        ASSERT_EQ(signature.size(), kRsaModulusBytes) << length;
        EXPECT_EQ(recoverWithOpenSsl(key_->publicKey(), signature), data) << length;

        // The card's ENCIPHER under the public key gives back the padded block.
        const Bytes block = key_->publicOperation(signature);
        ASSERT_EQ(block.size(), kRsaModulusBytes);
        const std::size_t separator = kRsaModulusBytes - length - 1;
        EXPECT_EQ(block[0], 0x00);
        EXPECT_EQ(block[1], 0x01);
        EXPECT_TRUE(std::all_of(block.begin() + 2, block.begin() + static_cast<std::ptrdiff_t>(separator),
                                [](uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(block[separator], 0x00);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), block.begin() + static_cast<std::ptrdiff_t>(separator) + 1));
    }
    EXPECT_TRUE(key_->signPkcs1(Bytes(kRsaMaxSignedData + 1, 1)).empty());
}

TEST_F(RsaKeyTest, LoadedFormsSignAlikeAndPublicKeysOnlyDoPublicOperations) {
    const auto serial = key_->serialize();
    ASSERT_EQ(serial.size(), 2 + 8 + 128 + 128u);
    const auto restored = RsaKey::deserialize(serial);
    ASSERT_TRUE(restored);
    const Bytes data{1, 2, 3, 4};
    EXPECT_EQ(restored->signPkcs1(data), key_->signPkcs1(data)) << "type-1 signing is deterministic";

    const Bytes publicKey = key_->publicKey();
    const auto publicOnly = RsaKey::fromComponents(std::span(publicKey).first(8), std::span(publicKey).subspan(8));
    ASSERT_TRUE(publicOnly);
    EXPECT_FALSE(publicOnly->hasPrivateKey());
    EXPECT_TRUE(publicOnly->signPkcs1(data).empty());
    EXPECT_EQ(publicOnly->publicOperation(key_->signPkcs1(data)), key_->publicOperation(key_->signPkcs1(data)));
    const auto publicSerial = publicOnly->serialize();
    EXPECT_EQ(publicSerial.size(), 2 + 8 + 128u);
    EXPECT_TRUE(RsaKey::deserialize(publicSerial));

    EXPECT_TRUE(key_->publicOperation(Bytes(128, 0xFF)).empty()) << "a block above the modulus";
    EXPECT_TRUE(key_->publicOperation(Bytes(129, 0x01)).empty());
}

TEST(RsaKey, FromPrimesMatchesTheModulusAndSigns) {
    const BigNumber p = newBigNumber(), q = newBigNumber();
    ASSERT_EQ(BN_generate_prime_ex(p.get(), 512, 0, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(BN_generate_prime_ex(q.get(), 512, 0, nullptr, nullptr, nullptr), 1);
    const auto key =
        RsaKey::fromPrimes(Bytes{0x01, 0x00, 0x01}, bigNumberToBytes(p.get(), 64), bigNumberToBytes(q.get(), 64));
    ASSERT_TRUE(key);
    const Bytes data{0x30, 0x21};
    EXPECT_EQ(recoverWithOpenSsl(key->publicKey(), key->signPkcs1(data)), data);
}

TEST(RsaKey, RefusesMalformedParts) {
    const Bytes modulus(128, 0xC3);
    EXPECT_FALSE(RsaKey::fromComponents(Bytes{0x01}, modulus)) << "exponent 1";
    EXPECT_FALSE(RsaKey::fromComponents(Bytes{0x01, 0x00, 0x00}, modulus)) << "even exponent";
    EXPECT_FALSE(RsaKey::fromComponents(Bytes(9, 0x01), modulus)) << "exponent above 8 bytes";
    EXPECT_FALSE(RsaKey::fromComponents(Bytes{0x03}, Bytes(127, 0xC3)));
    EXPECT_FALSE(RsaKey::fromComponents(Bytes{0x03}, modulus, Bytes(128, 0xFF))) << "d above n";
    EXPECT_FALSE(RsaKey::generate(2));
    EXPECT_FALSE(RsaKey::deserialize(Bytes{'R', 0}));
    EXPECT_FALSE(RsaKey::deserialize(Bytes(2 + 8 + 128 + 1, 0)));
}

}  // namespace
}  // namespace korva::sim::crypto
