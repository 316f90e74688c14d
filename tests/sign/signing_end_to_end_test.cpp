// Signing and verification through the loaded module on the virtual card:
// key pairs made by slot 20, signatures made by slot 24 checked by OpenSSL
// (the GOST engine for GOST keys) against the public key the token reports,
// and by the card itself through slots 38 and 40.
#include "common/openssl_ptr.h"
#include "tests/objects/store_fixture.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>

namespace korva::test {
namespace {

using abi::CK_RV;

Bytes der(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    if (content.size() >= 0x80) out.push_back(0x81);
    out.push_back(uint8_t(content.size()));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Bytes kGost2001Algorithm{0x06, 0x06, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x13};
const Bytes kGost2012_256Algorithm{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x01};
const Bytes kGost2012_512Algorithm{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x02};
const Bytes kDigest94{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
const Bytes kCryptoProA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
const Bytes kTc26_512A{0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x01};

using Pkey = EvpPkeyPtr;
using PkeyContext = EvpPkeyCtxPtr;

// The engine's SubjectPublicKeyInfo of a GOST key: CKA_VALUE (X then Y,
// each little-endian) is the engine's own encoding of the point.
Pkey gostPublicKey(const Bytes& algorithm, const Bytes& curve, const Bytes& digest, const Bytes& value) {
    const Bytes parameters = der(0x30, join({curve, digest}));
    const Bytes spki =
        der(0x30, join({der(0x30, join({algorithm, parameters})), der(0x03, join({{0x00}, der(0x04, value)}))}));
    const uint8_t* cursor = spki.data();
    return Pkey(d2i_PUBKEY(nullptr, &cursor, long(spki.size())));
}

Pkey rsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
    OsslParamBldPtr build(OSSL_PARAM_BLD_new());
    BignumPtr n(BN_bin2bn(modulus.data(), int(modulus.size()), nullptr));
    BignumPtr e(BN_bin2bn(exponent.data(), int(exponent.size()), nullptr));
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    OsslParamPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return Pkey(key);
}

// OpenSSL's verdict on `signature` over `digest` (the GOST engine takes the
// hash as computed and the signature as s then r; RSA takes the padded data
// itself when no digest is named).
bool opensslVerifies(EVP_PKEY* key, const Bytes& digest, const Bytes& signature, bool rsa) {
    PkeyContext context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_verify_init(context.get()) != 1) return false;
    if (rsa && EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) return false;
    return EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

Bytes hashed(const char* name, const Bytes& message) {
    const EVP_MD* md = EVP_get_digestbyname(name);
    if (md == nullptr) return {};
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(message.data(), message.size(), out.data(), &length, md, nullptr) != 1) return {};
    out.resize(length);
    return out;
}

class SigningEndToEnd : public StoreTest {
protected:
    struct Pair {
        abi::ObjectHandle publicKey{}, privateKey{};
    };

    // Templates as temporaries or as what their setters return.
    template <typename Public, typename Private>
    Pair generate(uint32_t mechanismType, Public&& pub, Private&& priv) {
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        Pair pair;
        abi::ObjectSummary publicSummary{}, privateSummary{};
        EXPECT_EQ(slots().generateKeyPair(host->context(), user(), host->settings(), pub.data(), pub.size(),
                                          priv.data(), priv.size(), &mechanism, &pair.publicKey, &pair.privateKey,
                                          &publicSummary, &privateSummary),
                  abi::CKR_OK);
        return pair;
    }

    CK_RV sign(const Pair& pair, uint32_t mechanismType, const Bytes& data, Bytes& signature) {
        abi::OperationRecord* state = host->operation();
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        const CK_RV init = slots().signInit(host->context(), nullptr, nullptr, &mechanism, &pair.privateKey, state);
        if (init != abi::CKR_OK) return init;
        abi::CK_ULONG length = 0;
        const CK_RV query = slots().sign(host->context(), user(), nullptr, data.data(), abi::CK_ULONG(data.size()),
                                         nullptr, &length, &pair.privateKey, state, mechanismType);
        if (query != abi::CKR_OK) return query;
        signature.assign(length, 0);
        return slots().sign(host->context(), user(), nullptr, data.data(), abi::CK_ULONG(data.size()), signature.data(),
                            &length, &pair.privateKey, state, mechanismType);
    }

    CK_RV verify(const Pair& pair, uint32_t mechanismType, const Bytes& data, const Bytes& signature) {
        abi::OperationRecord* state = host->operation();
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        const CK_RV init = slots().verifyInit(host->context(), nullptr, nullptr, &mechanism, &pair.publicKey, state);
        if (init != abi::CKR_OK) return init;
        return slots().verify(host->context(), nobody(), nullptr, data.data(), abi::CK_ULONG(data.size()),
                              signature.data(), abi::CK_ULONG(signature.size()), &pair.publicKey, state, mechanismType);
    }

    Bytes attribute(const abi::ObjectHandle& handle, uint32_t type) {
        const std::optional<FoundObject> object = readAll(handle);
        return object ? object->get(type).value_or(Bytes{}) : Bytes{};
    }
};

// --- GOST --------------------------------------------------------------------

struct GostCase {
    const char* name;
    uint32_t keyGeneration;
    Bytes curve;
    Bytes digestParameter;  // given to slot 20; empty: the mechanism's default
    Bytes algorithm;        // the engine's key algorithm
    Bytes engineDigest;     // the digest parameter of the engine's key, empty for 512-bit keys
    uint32_t rawMechanism;
    uint32_t hashingMechanism;
    const char* digestName;  // what the hashing mechanism hashes with
};

const Bytes kDigest2012_256{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};

// clang-format off
const GostCase kGostCases[] = {
    {"Gost2001", abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, kDigest94, kGost2001Algorithm, kDigest94,
     abi::CKM_GOSTR3410, abi::CKM_GOSTR3410_WITH_GOSTR3411, "md_gost94"},
    {"Gost2012_256", abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, {}, kGost2012_256Algorithm, kDigest2012_256,
     abi::CKM_GOSTR3410, abi::CKM_GOSTR3410_WITH_GOSTR3411_12_256, "md_gost12_256"},
    {"Gost2012_512", abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, kTc26_512A, {}, kGost2012_512Algorithm, {},
     abi::CKM_GOSTR3410_512, abi::CKM_GOSTR3410_WITH_GOSTR3411_12_512, "md_gost12_512"},
};
// clang-format on

class GostSigningEndToEnd : public SigningEndToEnd, public ::testing::WithParamInterface<GostCase> {
protected:
    Pair makePair() {
        const GostCase& c = GetParam();
        Template pub;
        pub.bytes(abi::CKA_GOSTR3410_PARAMS, c.curve);
        if (!c.digestParameter.empty()) pub.bytes(abi::CKA_GOSTR3411_PARAMS, c.digestParameter);
        return generate(c.keyGeneration, pub, Template());
    }

    // Slot 24's signature verifies with the engine against slot 64's CKA_VALUE
    // and on the card in slot 38; one flipped byte makes slot 38 refuse it.
    void checkRoundTrip(const Pair& pair, uint32_t mechanism, const Bytes& data, const Bytes& digest) {
        const GostCase& c = GetParam();
        Bytes signature;
        ASSERT_EQ(sign(pair, mechanism, data, signature), abi::CKR_OK);
        ASSERT_EQ(signature.size(), 2 * digest.size());

        const Pkey key = gostPublicKey(c.algorithm, c.curve, c.engineDigest, attribute(pair.publicKey, abi::CKA_VALUE));
        ASSERT_TRUE(key);
        EXPECT_TRUE(opensslVerifies(key.get(), digest, signature, false));

        EXPECT_EQ(verify(pair, mechanism, data, signature), abi::CKR_OK);
        Bytes flipped = signature;
        flipped[5] ^= 0x01;
        EXPECT_EQ(verify(pair, mechanism, data, flipped), abi::CKR_SIGNATURE_INVALID);
        EXPECT_FALSE(opensslVerifies(key.get(), digest, flipped, false));
    }
};

TEST_P(GostSigningEndToEnd, RawHashSignatureVerifiesWithTheEngineAndOnTheCard) {
    const Pair pair = makePair();
    const GostCase& c = GetParam();
    const Bytes digest = hashed(c.digestName, Bytes{'r', 'a', 'w'});
    ASSERT_FALSE(digest.empty());
    checkRoundTrip(pair, c.rawMechanism, digest, digest);
}

TEST_P(GostSigningEndToEnd, HashingMechanismSignsTheMessagesHash) {
    const Pair pair = makePair();
    const GostCase& c = GetParam();
    const Bytes message(300, 'm');
    const Bytes digest = hashed(c.digestName, message);
    ASSERT_FALSE(digest.empty());
    checkRoundTrip(pair, c.hashingMechanism, message, digest);
}

INSTANTIATE_TEST_SUITE_P(EveryKeyKind, GostSigningEndToEnd, ::testing::ValuesIn(kGostCases),
                         [](const ::testing::TestParamInfo<GostCase>& tested) {
                             return std::string(tested.param.name);
                         });

TEST_F(SigningEndToEnd, SigningNeedsTheUserPinAndAPrivateKeyThatMaySign) {
    const Pair pair = generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, Template(), Template().flag(abi::CKA_SIGN, false));
    const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410, nullptr, 0};
    EXPECT_EQ(slots().signInit(host->context(), nullptr, nullptr, &mechanism, &pair.privateKey, host->operation()),
              abi::CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(
        slots().signRecoverInit(host->context(), nullptr, nullptr, &mechanism, &pair.publicKey, host->operation()),
        abi::CKR_KEY_HANDLE_INVALID);

    const Pair usable = generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, Template(), Template());
    logOut();
    const Bytes hash(32, 0x11);
    Bytes signature(64);
    abi::CK_ULONG length = 64;
    EXPECT_EQ(slots().sign(host->context(), nobody(), nullptr, hash.data(), 32, signature.data(), &length,
                           &usable.privateKey, host->operation(), abi::CKM_GOSTR3410),
              abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(slots().sign(host->context(), host->login(1, "00000000"), nullptr, hash.data(), 32, signature.data(),
                           &length, &usable.privateKey, host->operation(), abi::CKM_GOSTR3410),
              abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(slots().signRecover(host->context(), user(), nullptr, hash.data(), 32, signature.data(), &length,
                                  &usable.privateKey, host->operation(), abi::CKM_GOSTR3410),
              abi::CKR_OK);
}

// --- RSA ---------------------------------------------------------------------

TEST_F(SigningEndToEnd, RsaSignatureVerifiesWithOpenSslOnTheCardAndRecoversItsData) {
    const Pair pair =
        generate(abi::CKM_RSA_PKCS_KEY_PAIR_GEN, Template().number(abi::CKA_MODULUS_BITS, 1024), Template());
    const Bytes data = hashed("SHA1", Bytes{'r', 's', 'a'});
    Bytes signature;
    ASSERT_EQ(sign(pair, abi::CKM_RSA_PKCS, data, signature), abi::CKR_OK);
    ASSERT_EQ(signature.size(), 128u);

    const Pkey key =
        rsaPublicKey(attribute(pair.publicKey, abi::CKA_MODULUS), attribute(pair.publicKey, abi::CKA_PUBLIC_EXPONENT));
    ASSERT_TRUE(key);
    EXPECT_TRUE(opensslVerifies(key.get(), data, signature, true));

    EXPECT_EQ(verify(pair, abi::CKM_RSA_PKCS, data, signature), abi::CKR_OK);
    Bytes flipped = signature;
    flipped[100] ^= 0x80;
    EXPECT_EQ(verify(pair, abi::CKM_RSA_PKCS, data, flipped), abi::CKR_SIGNATURE_INVALID);

    const abi::CK_MECHANISM mechanism{abi::CKM_RSA_PKCS, nullptr, 0};
    abi::OperationRecord* state = host->operation();
    ASSERT_EQ(slots().verifyRecoverInit(host->context(), nullptr, nullptr, &mechanism, &pair.publicKey, state),
              abi::CKR_OK);
    Bytes recovered(128);
    abi::CK_ULONG length = 128;
    ASSERT_EQ(slots().verifyRecover(host->context(), nobody(), nullptr, signature.data(), 128, recovered.data(),
                                    &length, &pair.publicKey, state, abi::CKM_RSA_PKCS),
              abi::CKR_OK);
    recovered.resize(length);
    EXPECT_EQ(recovered, data);
    EXPECT_EQ(slots().verifyRecover(host->context(), nobody(), nullptr, flipped.data(), 128, recovered.data(), &length,
                                    &pair.publicKey, state, abi::CKM_RSA_PKCS),
              abi::CKR_SIGNATURE_INVALID);
}

// A private key's material lives in the body of the public key with its
// CKA_ID, whose record number may differ from the private key's own.
TEST_F(SigningEndToEnd, RsaPrivateKeySignsWithItsPairedPublicKeysBody) {
    mustCreate(publicKey("lone"));  // public record 1, no private half on the card
    const Pair pair = generate(abi::CKM_RSA_PKCS_KEY_PAIR_GEN,
                               Template().number(abi::CKA_MODULUS_BITS, 1024).text(abi::CKA_ID, "pair"),
                               Template().text(abi::CKA_ID, "pair"));
    ASSERT_EQ(pair.publicKey.record, 2);
    ASSERT_EQ(pair.privateKey.record, 1);

    const Bytes data{'p', 'a', 'i', 'r', 'e', 'd'};
    Bytes signature;
    ASSERT_EQ(sign(pair, abi::CKM_RSA_PKCS, data, signature), abi::CKR_OK);
    const Pkey key =
        rsaPublicKey(attribute(pair.publicKey, abi::CKA_MODULUS), attribute(pair.publicKey, abi::CKA_PUBLIC_EXPONENT));
    ASSERT_TRUE(key);
    EXPECT_TRUE(opensslVerifies(key.get(), data, signature, true));
    EXPECT_EQ(verify(pair, abi::CKM_RSA_PKCS, data, signature), abi::CKR_OK);
}

}  // namespace
}  // namespace korva::test
