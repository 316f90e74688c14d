// RSA through the cipher slots with the fixture's key pair stored on the
// token: what the token encrypts OpenSSL decrypts with the private key, and
// what OpenSSL encrypts the token decrypts, with PKCS#1 v1.5 and raw RSA.
#include "tests/ciphers/cipher_fixture.h"

#include "common/openssl_ptr.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

namespace korva::test {
namespace {

using namespace korva::abi;

// The fixture's pair for OpenSSL (public exponent 65537).
EvpPkeyPtr openSslKey() {
    const TestKeyPair& pair = testKeyPair();
    const BignumPtr n(BN_bin2bn(pair.modulus.data(), int(pair.modulus.size()), nullptr));
    const BignumPtr e(BN_new());
    const BignumPtr d(BN_bin2bn(pair.privateExponent.data(), int(pair.privateExponent.size()), nullptr));
    BN_set_word(e.get(), 65537);
    const OsslParamBldPtr build(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_D, d.get());
    const OsslParamPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    const EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    EXPECT_EQ(EVP_PKEY_fromdata_init(context.get()), 1);
    EXPECT_EQ(EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEYPAIR, params.get()), 1);
    return EvpPkeyPtr(key);
}

int paddingOf(uint32_t mechanism) { return mechanism == CKM_RSA_PKCS ? RSA_PKCS1_PADDING : RSA_NO_PADDING; }

Bytes openSsl(bool encrypt, uint32_t mechanism, const Bytes& input) {
    const EvpPkeyPtr key = openSslKey();
    const EvpPkeyCtxPtr context(EVP_PKEY_CTX_new(key.get(), nullptr));
    EXPECT_EQ(encrypt ? EVP_PKEY_encrypt_init(context.get()) : EVP_PKEY_decrypt_init(context.get()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(context.get(), paddingOf(mechanism)), 1);
    Bytes out(128);
    std::size_t length = out.size();
    const int done = encrypt ? EVP_PKEY_encrypt(context.get(), out.data(), &length, input.data(), input.size())
                             : EVP_PKEY_decrypt(context.get(), out.data(), &length, input.data(), input.size());
    EXPECT_EQ(done, 1);
    out.resize(done == 1 ? length : 0);
    return out;
}

class RsaCipher : public CipherTest {
protected:
    // A lone public key first, so that the pair's public key (whose number
    // its key files carry) is record 2 while its private key is record 1.
    void SetUp() override {
        CipherTest::SetUp();
        mustCreate(publicKey("lone public key"));
        publicKey_ = mustCreate(publicKey("rsa pair"));
        privateKey_ = mustCreate(privateKey("rsa pair"));
        ASSERT_EQ(publicKey_.record, 2);
        ASSERT_EQ(privateKey_.record, 1);
    }
    Outcome encrypt(uint32_t mechanism, const Bytes& data) {
        return once(Direction::kEncrypt, mechanism, publicKey_, {}, data);
    }
    Outcome decrypt(uint32_t mechanism, const Bytes& data) {
        return once(Direction::kDecrypt, mechanism, privateKey_, {}, data);
    }
    ObjectHandle publicKey_{}, privateKey_{};
};

TEST_F(RsaCipher, WhatTheTokenEncryptsOpenSslDecrypts) {
    for (const std::size_t length : {1u, 117u}) {
        const Bytes message = patternBytes(length, 0x21);
        const Outcome sealed = encrypt(CKM_RSA_PKCS, message);
        ASSERT_EQ(sealed.rv, CKR_OK) << length;
        EXPECT_EQ(openSsl(false, CKM_RSA_PKCS, sealed.data), message) << length;
        // The padding is random: the same message never seals the same way.
        EXPECT_NE(encrypt(CKM_RSA_PKCS, message).data, sealed.data);
    }
    Bytes block = patternBytes(128, 0x42);
    std::fill_n(block.begin(), 28, uint8_t{0});  // below the modulus
    const Outcome raw = encrypt(CKM_RSA_X_509, block);
    ASSERT_EQ(raw.rv, CKR_OK);
    EXPECT_EQ(openSsl(false, CKM_RSA_X_509, raw.data), block);
    const Outcome shortRaw = encrypt(CKM_RSA_X_509, Bytes(block.begin() + 28, block.end()));
    ASSERT_EQ(shortRaw.rv, CKR_OK);
    EXPECT_EQ(shortRaw.data, raw.data) << "a shorter input is the block with leading zeros";
}

TEST_F(RsaCipher, WhatOpenSslEncryptsTheTokenDecrypts) {
    const Bytes message = patternBytes(60, 0x77);
    const Outcome opened = decrypt(CKM_RSA_PKCS, openSsl(true, CKM_RSA_PKCS, message));
    ASSERT_EQ(opened.rv, CKR_OK);
    EXPECT_EQ(opened.data, message);
    Bytes block = patternBytes(128, 0x13);
    block[0] = 0x00;
    const Outcome raw = decrypt(CKM_RSA_X_509, openSsl(true, CKM_RSA_X_509, block));
    ASSERT_EQ(raw.rv, CKR_OK);
    EXPECT_EQ(raw.data, block);
}

TEST_F(RsaCipher, LengthsBlocksAndHandlesAreChecked) {
    EXPECT_EQ(encrypt(CKM_RSA_PKCS, Bytes(118, 1)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(encrypt(CKM_RSA_X_509, Bytes(129, 0)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(decrypt(CKM_RSA_PKCS, Bytes(127, 1)).rv, CKR_DATA_LEN_RANGE);
    // A block of type 1 is no encryption block.
    Bytes typeOne(128, 0xFF);
    typeOne[0] = 0x00;
    typeOne[1] = 0x01;
    typeOne[100] = 0x00;
    EXPECT_EQ(decrypt(CKM_RSA_PKCS, openSsl(true, CKM_RSA_X_509, typeOne)).rv, CKR_ENCRYPTED_DATA_INVALID);
    // Public keys encrypt, private keys decrypt.
    OperationRecord state{};
    EXPECT_EQ(init(Direction::kEncrypt, CKM_RSA_PKCS, privateKey_, {}, state), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(init(Direction::kDecrypt, CKM_RSA_PKCS, publicKey_, {}, state), CKR_KEY_HANDLE_INVALID);
    // Single-part only.
    ASSERT_EQ(init(Direction::kEncrypt, CKM_RSA_PKCS, publicKey_, {}, state), CKR_OK);
    Bytes out;
    EXPECT_EQ(update(Direction::kEncrypt, CKM_RSA_PKCS, publicKey_, state, Bytes(16, 1), out), CKR_FUNCTION_FAILED);
    // A short buffer is told the length.
    const Bytes message(16, 1);
    Bytes small(127);
    CK_ULONG length = CK_ULONG(small.size());
    EXPECT_EQ(slots().encrypt(host->context(), user(), nullptr, message.data(), 16, small.data(), &length, &publicKey_,
                              &state, CKM_RSA_PKCS),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 128u);
}

}  // namespace
}  // namespace korva::test
