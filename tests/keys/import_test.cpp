// Slots 46 and 47 through the loaded module on the virtual card: PKCS#12
// files made by OpenSSL become a key pair that signs on the token and a
// certificate that verifies those signatures; certificates read back as
// OpenSSL decodes them; refused files write nothing, and a failure after
// the key was written takes it away again.
#include "tests/keys/pkcs12_fixture.h"
#include "tests/keys/secret_key_fixture.h"

#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <regex>
#include <set>

namespace korva::test {
namespace {

using abi::CK_RV;

constexpr const char* kPassword = "p12 secret";

Bytes nameDer(const X509_NAME* name) {
    unsigned char* encoded = nullptr;
    const int length = i2d_X509_NAME(name, &encoded);
    Bytes der(encoded, encoded + std::max(length, 0));
    OPENSSL_free(encoded);
    return der;
}

Bytes serialDer(X509* certificate) {
    unsigned char* encoded = nullptr;
    const int length = i2d_ASN1_INTEGER(X509_get0_serialNumber(certificate), &encoded);
    Bytes der(encoded, encoded + std::max(length, 0));
    OPENSSL_free(encoded);
    return der;
}

class ImportTest : public SecretKeyTest {
protected:
    struct Imported {
        CK_RV rv = 0xFFFFFFFF;
        abi::ObjectSummary certificate{}, publicKey{}, privateKey{};
    };

    Imported importFile(const Bytes& file, const std::string& password = kPassword) {
        Imported out;
        out.rv = slots().importPkcs12(host->context(), user(), host->settings(), file.data(), uint32_t(file.size()),
                                      password.data(), uint32_t(password.size()), &out.certificate, &out.publicKey,
                                      &out.privateKey);
        return out;
    }

    std::vector<FoundObject> objectsOfClass(uint32_t objectClass) {
        std::vector<FoundObject> found;
        for (FoundObject& object : findAll(user()))
            if (object.objectClass == objectClass) found.push_back(std::move(object));
        return found;
    }

    bool flag(const FoundObject& object, uint32_t type) { return object.get(type) == Bytes{1}; }

    // CKM_RSA_PKCS on the token with the imported private key.
    Bytes signOnToken(const abi::ObjectHandle& key, const Bytes& data) {
        const abi::CK_MECHANISM mechanism{abi::CKM_RSA_PKCS, nullptr, 0};
        abi::OperationRecord* state = host->operation();
        EXPECT_EQ(slots().signInit(host->context(), nullptr, nullptr, &mechanism, &key, state), abi::CKR_OK);
        Bytes signature(128);
        abi::CK_ULONG length = 128;
        EXPECT_EQ(slots().sign(host->context(), user(), nullptr, data.data(), abi::CK_ULONG(data.size()),
                               signature.data(), &length, &key, state, abi::CKM_RSA_PKCS),
                  abi::CKR_OK);
        return signature;
    }
};

struct ImportCase {
    const char* name;
    Pkcs12Algorithms algorithms;
    const char* keyUsage;
    bool encrypt;
    bool sign;
};

const ImportCase kImports[] = {
    {"Today", Pkcs12Algorithms::kToday, "", true, true},
    {"TodaySignOnly", Pkcs12Algorithms::kToday, "critical,digitalSignature", false, true},
    {"TodayEncipherOnly", Pkcs12Algorithms::kToday, "keyEncipherment", true, false},
    {"Legacy", Pkcs12Algorithms::kLegacy, "digitalSignature,keyEncipherment", true, true},
};

class ImportedPair : public ImportTest, public ::testing::WithParamInterface<ImportCase> {};

TEST_P(ImportedPair, SignsOnTheTokenAndReadsBackAsOpenSslDecodesIt) {
    const ImportCase& c = GetParam();
    const LegacyProvider legacy;
    if (c.algorithms == Pkcs12Algorithms::kLegacy && !legacy.loaded()) GTEST_SKIP() << "no legacy provider";
    const EvpPkeyPtr key = makeRsaKey(1024);
    const X509Ptr certificate = makeCertificate(key.get(), c.keyUsage);
    ASSERT_TRUE(certificate);
    const Bytes file = makePkcs12(key.get(), certificate.get(), kPassword, c.algorithms);
    ASSERT_FALSE(file.empty());

    const Imported imported = importFile(file);
    ASSERT_EQ(imported.rv, abi::CKR_OK);
    EXPECT_EQ(uint32_t{imported.certificate.objectClass}, abi::CKO_CERTIFICATE);
    EXPECT_EQ(uint32_t{imported.publicKey.objectClass}, abi::CKO_PUBLIC_KEY);
    EXPECT_EQ(uint8_t{imported.privateKey.isPrivate}, 1);

    const auto certificates = objectsOfClass(abi::CKO_CERTIFICATE);
    const auto publicKeys = objectsOfClass(abi::CKO_PUBLIC_KEY);
    const auto privateKeys = objectsOfClass(abi::CKO_PRIVATE_KEY);
    ASSERT_EQ(certificates.size(), 1u);
    ASSERT_EQ(publicKeys.size(), 1u);
    ASSERT_EQ(privateKeys.size(), 1u);

    // One label for all three, its first 36 characters their identifier.
    const Bytes label = certificates[0].get(abi::CKA_LABEL).value_or(Bytes{});
    ASSERT_EQ(label.size(), 44u);
    EXPECT_TRUE(
        std::regex_match(std::string(label.begin(), label.end()),
                         std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\(Import\\)")));
    for (const auto* group : {&publicKeys, &privateKeys}) {
        EXPECT_EQ((*group)[0].get(abi::CKA_LABEL), label);
        EXPECT_EQ((*group)[0].get(abi::CKA_ID), Bytes(label.begin(), label.begin() + 36));
    }
    EXPECT_EQ(certificates[0].get(abi::CKA_SUBJECT), nameDer(X509_get_subject_name(certificate.get())));
    EXPECT_EQ(certificates[0].get(abi::CKA_ISSUER), nameDer(X509_get_issuer_name(certificate.get())));
    EXPECT_EQ(certificates[0].get(abi::CKA_SERIAL_NUMBER), serialDer(certificate.get()));
    EXPECT_EQ(certificates[0].get(abi::CKA_VALUE), derOf(certificate.get()));

    EXPECT_EQ(flag(publicKeys[0], abi::CKA_ENCRYPT), c.encrypt);
    EXPECT_EQ(flag(privateKeys[0], abi::CKA_DECRYPT), c.encrypt);
    EXPECT_EQ(flag(publicKeys[0], abi::CKA_VERIFY), c.sign);
    EXPECT_EQ(flag(privateKeys[0], abi::CKA_SIGN), c.sign);
    // The private exponent waits beside the key object only for a key that
    // may decrypt.
    EXPECT_EQ(cardBody(0xE101).size(), c.encrypt ? 128u : 0u);
    if (c.encrypt) {
        // A message sealed with the certificate's key opens on the token.
        const Bytes message = {'s', 'e', 'a', 'l', 'e', 'd'};
        const EvpPkeyCtxPtr sealer(EVP_PKEY_CTX_new(X509_get0_pubkey(certificate.get()), nullptr));
        ASSERT_EQ(EVP_PKEY_encrypt_init(sealer.get()), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(sealer.get(), RSA_PKCS1_PADDING), 1);
        Bytes sealed(128);
        size_t sealedLength = sealed.size();
        ASSERT_EQ(EVP_PKEY_encrypt(sealer.get(), sealed.data(), &sealedLength, message.data(), message.size()), 1);
        EXPECT_EQ(once(Direction::kDecrypt, abi::CKM_RSA_PKCS, privateKeys[0].handle, {}, sealed).data, message);
    }
    if (!c.sign) return;

    const Bytes data = {'i', 'm', 'p', 'o', 'r', 't', 'e', 'd'};
    const Bytes signature = signOnToken(privateKeys[0].handle, data);
    const EvpPkeyCtxPtr verifier(EVP_PKEY_CTX_new(X509_get0_pubkey(certificate.get()), nullptr));
    ASSERT_EQ(EVP_PKEY_verify_init(verifier.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(verifier.get(), RSA_PKCS1_PADDING), 1);
    EXPECT_EQ(EVP_PKEY_verify(verifier.get(), signature.data(), signature.size(), data.data(), data.size()), 1);
}

INSTANTIATE_TEST_SUITE_P(Pkcs12, ImportedPair, ::testing::ValuesIn(kImports),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ImportTest, TheSameFileTwiceGivesTwoLabels) {
    const EvpPkeyPtr key = makeRsaKey(1024);
    const X509Ptr certificate = makeCertificate(key.get(), "");
    const Bytes file = makePkcs12(key.get(), certificate.get(), kPassword, Pkcs12Algorithms::kToday);
    ASSERT_EQ(importFile(file).rv, abi::CKR_OK);
    ASSERT_EQ(importFile(file).rv, abi::CKR_OK);
    std::set<Bytes> labels;
    for (const FoundObject& object : findAll(user())) labels.insert(object.get(abi::CKA_LABEL).value_or(Bytes{}));
    EXPECT_EQ(labels.size(), 2u);
}

struct Refusal {
    const char* name;
    Bytes (*file)();
    const char* password;
    CK_RV expected;
    bool exchanges;  // a key the parser takes is refused after the label was made on the card
};

Bytes fileWith(EvpPkeyPtr key) {
    if (!key) return {};
    const X509Ptr certificate = makeCertificate(key.get(), "");
    return certificate ? makePkcs12(key.get(), certificate.get(), kPassword, Pkcs12Algorithms::kToday) : Bytes{};
}

const Refusal kRefusals[] = {
    {"WrongPassword", [] { return fileWith(makeRsaKey(1024)); }, "not the password", abi::CKR_PIN_INCORRECT, false},
    {"Rsa2048", [] { return fileWith(makeRsaKey(2048)); }, kPassword, abi::CKR_FUNCTION_FAILED, true},
    // A GOST R 34.10-2012 256-bit key on a 2001 curve counts as a 2001 key.
    {"Gost2012OnCryptoProA", [] { return fileWith(makeGostKey("A")); }, kPassword, abi::CKR_FUNCTION_FAILED, true},
    {"Gost2012OnTc26A", [] { return fileWith(makeGostKey("TCA")); }, kPassword, abi::CKR_DATA_INVALID, false},
    {"EcOnCryptoProB", [] { return fileWith(makeEcKeyOn(messages::kCurves256[2])); }, kPassword,
     abi::CKR_FUNCTION_FAILED, true},
    {"EcOnP256", [] { return fileWith(makeEcKey("P-256")); }, kPassword, abi::CKR_DATA_INVALID, false},
    {"Garbage", [] { return Bytes{0x30, 0x03, 0x02, 0x01, 0x03, 0xFF}; }, kPassword, abi::CKR_DATA_INVALID, false},
    {"KeyWithoutCertificate",
     [] { return makePkcs12(makeRsaKey(1024).get(), nullptr, kPassword, Pkcs12Algorithms::kToday); }, kPassword,
     abi::CKR_DATA_INVALID, false},
};

class RefusedImport : public ImportTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedImport, WritesNothing) {
    const Bytes file = GetParam().file();
    ASSERT_FALSE(file.empty());
    const Bytes before = counters();
    host->clearExchanges();
    EXPECT_EQ(importFile(file, GetParam().password).rv, GetParam().expected);
    EXPECT_EQ(!host->exchanges().empty(), GetParam().exchanges);
    EXPECT_EQ(counters(), before);
    EXPECT_TRUE(findAll(user()).empty());
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedImport, ::testing::ValuesIn(kRefusals),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ImportTest, FailureAfterTheKeyWasWrittenTakesItAway) {
    const EvpPkeyPtr key = makeRsaKey(1024);
    const X509Ptr certificate = makeCertificate(key.get(), "");
    const Bytes file = makePkcs12(key.get(), certificate.get(), kPassword, Pkcs12Algorithms::kToday);
    const Bytes before = counters();
    // The creation of the certificate's body 64 01 (L + 3 bytes), the last
    // step before the certificate writes anything.
    const size_t size = derOf(certificate.get()).size() + 3;
    Bytes createBody = fromHex("00 E0 00 00 18 62 16 80 02");
    createBody.insert(createBody.end(), {uint8_t(size >> 8), uint8_t(size), 0x82, 0x01, 0x01, 0x83, 0x02, 0x64, 0x01});
    host->failOn(hex(createBody), Fault::status(0x65, 0x81));
    EXPECT_EQ(importFile(file).rv, abi::CKR_FUNCTION_FAILED);
    EXPECT_TRUE(findAll(user()).empty());
    EXPECT_TRUE(cardBody(0xE101).empty());
    EXPECT_EQ(sendToCard(host->card(), "00 A4 08 0C 06 A1 BC 7F 01 61 01").statusWord(), 0x6A82);
    const Bytes after = counters();
    EXPECT_TRUE(std::equal(after.begin() + 9, after.end(), before.begin() + 9)) << "class counts";
}

// --- slot 47 -----------------------------------------------------------------

class CertificateImport : public ImportTest {
protected:
    CK_RV importDer(const char* label, const Bytes& id, const Bytes& der) {
        return slots().importCertificate(host->context(), user(), host->settings(), label,
                                         id.empty() ? nullptr : id.data(), uint32_t(id.size()),
                                         der.empty() ? nullptr : der.data(), uint32_t(der.size()));
    }
};

TEST_F(CertificateImport, ReadsBackAsOpenSslDecodesIt) {
    const EvpPkeyPtr key = makeRsaKey(1024);
    const X509Ptr certificate = makeCertificate(key.get(), "digitalSignature");
    ASSERT_EQ(importDer("my certificate", {'i', 'd'}, derOf(certificate.get())), abi::CKR_OK);
    ASSERT_EQ(importDer(nullptr, {}, derOf(certificate.get())), abi::CKR_OK);

    const auto certificates = objectsOfClass(abi::CKO_CERTIFICATE);
    ASSERT_EQ(certificates.size(), 2u);
    for (const FoundObject& found : certificates) {
        const std::optional<FoundObject> object = readAll(found.handle);
        ASSERT_TRUE(object);
        EXPECT_EQ(object->get(abi::CKA_SUBJECT), nameDer(X509_get_subject_name(certificate.get())));
        EXPECT_EQ(object->get(abi::CKA_ISSUER), nameDer(X509_get_issuer_name(certificate.get())));
        EXPECT_EQ(object->get(abi::CKA_SERIAL_NUMBER), serialDer(certificate.get()));
        EXPECT_EQ(object->get(abi::CKA_VALUE), derOf(certificate.get()));
        EXPECT_FALSE(flag(*object, abi::CKA_MODIFIABLE));
    }
    std::set<Bytes> labels = {certificates[0].get(abi::CKA_LABEL).value_or(Bytes{1}),
                              certificates[1].get(abi::CKA_LABEL).value_or(Bytes{1})};
    EXPECT_EQ(labels,
              (std::set<Bytes>{Bytes{}, Bytes{'m', 'y', ' ', 'c', 'e', 'r', 't', 'i', 'f', 'i', 'c', 'a', 't', 'e'}}));
}

TEST_F(CertificateImport, RefusesWhatIsNoCertificate) {
    const Bytes before = counters();
    EXPECT_EQ(importDer("x", {}, {}), abi::CKR_ARGUMENTS_BAD);
    EXPECT_EQ(importDer("x", {}, {0x30, 0x03, 0x02, 0x01, 0x01}), abi::CKR_DATA_INVALID);
    Bytes trailing = derOf(makeCertificate(makeRsaKey(1024).get(), "").get());
    trailing.push_back(0);
    EXPECT_EQ(importDer("x", {}, trailing), abi::CKR_DATA_INVALID);
    EXPECT_EQ(counters(), before);
}

}  // namespace
}  // namespace korva::test
