// Certificate requests (slot 48) and signed messages (slot 49) made on the
// virtual card for the four kinds of key, judged by the openssl command
// line with the GOST engine, and the messages verified again by slot 50.
#include "tests/messages/openssl_tool.h"
#include "tests/objects/store_fixture.h"

#include "common/openssl_ptr.h"

#include <openssl/ec.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <functional>
#include <string>

namespace korva::test {
namespace {

using abi::CK_RV;
using abi::CK_ULONG;
using namespace std::string_literals;

const Bytes kCryptoProA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
const Bytes kXchA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00};
const Bytes kTc26_512A{0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x01};
const Bytes kDigest94{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
const Bytes kDigest2012_256{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};

// The lists of slot 48 as the host lays them out.
struct Lists {
    std::string subject =
        "CN\0Card holder\0"
        "1.2.643.100.3\0"
        "12345678901\0"s;
    CK_ULONG subjectCount = 2;
    std::string attributes = "challengePassword\0pass phrase\0"s;
    CK_ULONG attributeCount = 1;
    std::optional<std::string> extensions =
        "keyUsage\0digitalSignature\0"
        "1\0basicConstraints\0CA:FALSE\0"
        "0\0"s;
    CK_ULONG extensionCount = 2;
    CK_ULONG extensionFormat = 0;  // triples
};

X509_REQ* decodeRequest(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return d2i_X509_REQ(nullptr, &cursor, long(der.size()));
}
using RequestPtr = OpenSslPtr<X509_REQ, X509_REQ_free>;
using MessagePtr = OpenSslPtr<PKCS7, PKCS7_free>;

class MessagesTest : public StoreTest {
protected:
    struct Pair {
        abi::ObjectHandle publicKey{}, privateKey{};
    };

    Pair generate(uint32_t mechanismType, const Bytes& curve, const Bytes& digest, const std::string& id) {
        Template pub, priv;
        pub.text(abi::CKA_ID, id);
        priv.text(abi::CKA_ID, id);
        if (!curve.empty()) pub.bytes(abi::CKA_GOSTR3410_PARAMS, curve);
        if (!digest.empty()) pub.bytes(abi::CKA_GOSTR3411_PARAMS, digest);
        if (curve.empty()) pub.number(abi::CKA_MODULUS_BITS, 1024);
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        Pair pair;
        abi::ObjectSummary publicSummary{}, privateSummary{};
        EXPECT_EQ(slots().generateKeyPair(host->context(), user(), host->settings(), pub.data(), pub.size(),
                                          priv.data(), priv.size(), &mechanism, &pair.publicKey, &pair.privateKey,
                                          &publicSummary, &privateSummary),
                  abi::CKR_OK);
        return pair;
    }

    CK_RV request(const Pair& pair, const Lists& lists, uint8_t* output, CK_ULONG* length) {
        const char* extensions = lists.extensions ? lists.extensions->data() : nullptr;
        return slots().createCertificateRequest(host->context(), user(), host->settings(), &pair.publicKey, nullptr,
                                                lists.subject.data(), lists.subjectCount, output, length,
                                                lists.attributes.data(), lists.attributeCount, extensions,
                                                lists.extensionCount, lists.extensionFormat);
    }

    // Length query, then the request.
    CK_RV request(const Pair& pair, const Lists& lists, Bytes& der) {
        CK_ULONG length = 0;
        if (const CK_RV rv = request(pair, lists, nullptr, &length); rv != abi::CKR_OK) return rv;
        der.assign(length, 0);
        const CK_RV rv = request(pair, lists, der.data(), &length);
        der.resize(length);
        return rv;
    }

    // A certificate for the request's key and subject, issued by a software
    // authority; the chain is never judged, only the key inside.
    static Bytes issue(const Bytes& requestDer) {
        static const EvpPkeyPtr authority(EVP_EC_gen("P-256"));
        const RequestPtr request(decodeRequest(requestDer));
        const X509Ptr certificate(X509_new());
        if (!request || !certificate) return {};
        X509_set_version(certificate.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 7);
        X509_set_subject_name(certificate.get(), X509_REQ_get_subject_name(request.get()));
        X509_NAME* issuer = X509_get_subject_name(certificate.get());
        X509_set_issuer_name(certificate.get(), issuer);
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400);
        X509_set_pubkey(certificate.get(), X509_REQ_get0_pubkey(request.get()));
        if (X509_sign(certificate.get(), authority.get(), EVP_sha256()) <= 0) return {};
        unsigned char* der = nullptr;
        const int length = i2d_X509(certificate.get(), &der);
        Bytes out(der, der + std::max(length, 0));
        OPENSSL_free(der);
        return out;
    }

    abi::ObjectHandle storeCertificate(const Bytes& der, const std::string& id) {
        Template tmpl;
        tmpl.number(abi::CKA_CLASS, abi::CKO_CERTIFICATE)
            .flag(abi::CKA_TOKEN, true)
            .number(abi::CKA_CERTIFICATE_TYPE, 0);
        tmpl.text(abi::CKA_ID, id).bytes(abi::CKA_VALUE, der);
        return mustCreate(tmpl);
    }

    CK_RV signMessage(const abi::ObjectHandle& certificate, const Bytes& data, CK_ULONG flags,
                      const std::vector<abi::CertificateEntry>& further, Bytes& der,
                      const abi::ObjectHandle* privateKey = nullptr) {
        CK_ULONG length = 0;
        const auto call = [&](uint8_t* output) {
            return slots().signMessage(host->context(), user(), host->settings(), data.data(), CK_ULONG(data.size()),
                                       &certificate, output, &length, privateKey,
                                       further.empty() ? nullptr : further.data(), CK_ULONG(further.size()), flags);
        };
        if (const CK_RV rv = call(nullptr); rv != abi::CKR_OK) return rv;
        der.assign(length, 0);
        const CK_RV rv = call(der.data());
        der.resize(length);
        return rv;
    }

    CK_RV verifyMessage(const Bytes& message, const Bytes& content = {}) {
        return slots().verifyMessage(host->context(), nullptr, nullptr, message.data(), CK_ULONG(message.size()),
                                     content.empty() ? nullptr : content.data(), CK_ULONG(content.size()));
    }

    OpenSslTool tool;
};

// --- one proof per kind of key ------------------------------------------------

struct KeyCase {
    const char* name;
    uint32_t generation;
    Bytes curve;   // empty for RSA
    Bytes digest;  // the key's CKA_GOSTR3411_PARAMS, if any
    int signatureNid;
    // Exchanges of one request, and of one message carrying its content or
    // not (with the signer's and two further certificates).
    size_t requestExchanges, attachedExchanges, detachedExchanges;
};

void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.name; }

class MessagesEndToEnd : public MessagesTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(MessagesEndToEnd, RequestAndMessagesSignedOnTheCardPassOpenSsl) {
    const KeyCase& c = GetParam();
    const Pair pair = generate(c.generation, c.curve, c.digest, "signer");

    Bytes request;
    ASSERT_EQ(MessagesTest::request(pair, Lists{}, request), abi::CKR_OK);
    tool.write("request.der", request);
    const ToolResult verified = tool.run("req -engine gost -inform DER -in request.der -verify -noout");
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    const RequestPtr decoded(decodeRequest(request));
    ASSERT_TRUE(decoded);
    const X509_ALGOR* algorithm = nullptr;
    X509_REQ_get0_signature(decoded.get(), nullptr, &algorithm);
    EXPECT_EQ(OBJ_obj2nid(algorithm->algorithm), c.signatureNid);

    host->clearExchanges();
    Bytes again(request.size());
    CK_ULONG againLength = CK_ULONG(again.size());
    ASSERT_EQ(MessagesTest::request(pair, Lists{}, again.data(), &againLength), abi::CKR_OK);
    EXPECT_EQ(host->exchanges().size(), c.requestExchanges) << ::testing::PrintToString(host->commandLog());

    // One byte short: the exact length comes back with the refusal.
    Bytes shorter(request.size() - 1);
    CK_ULONG length = CK_ULONG(shorter.size());
    EXPECT_EQ(MessagesTest::request(pair, Lists{}, shorter.data(), &length), abi::CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, request.size());

    // The certificate of the request signs messages; two further
    // certificates follow it in the order given.
    const abi::ObjectHandle signer = storeCertificate(issue(request), "signer");
    const abi::ObjectHandle first = storeCertificate(testKeyPair().certificate, "first");
    const abi::ObjectHandle second = storeCertificate(issue(request), "second");
    const std::vector<abi::CertificateEntry> further{{first, {}}, {second, {}}};
    const Bytes data{'s', 'i', 'g', 'n', 'e', 'd', ' ', 'o', 'n', ' ', 'c', 'a', 'r', 'd'};
    tool.write("data", data);

    Bytes attached, detached;
    // The length query runs the whole sequence as well.
    host->clearExchanges();
    ASSERT_EQ(signMessage(signer, data, 0, further, attached), abi::CKR_OK);
    EXPECT_EQ(host->exchanges().size(), 2 * c.attachedExchanges) << ::testing::PrintToString(host->commandLog());
    host->clearExchanges();
    ASSERT_EQ(signMessage(signer, data, 0x40, further, detached), abi::CKR_OK);
    EXPECT_EQ(host->exchanges().size(), 2 * c.detachedExchanges) << ::testing::PrintToString(host->commandLog());
    tool.write("attached.der", attached);
    tool.write("detached.der", detached);
    const std::string cms = "cms -verify -noverify -binary -engine gost -inform DER -out out ";
    const ToolResult alone = tool.run(cms + "-in attached.der");
    EXPECT_EQ(alone.exitCode, 0) << alone.output;
    EXPECT_EQ(tool.read("out"), data);
    const ToolResult withContent = tool.run(cms + "-in detached.der -content data");
    EXPECT_EQ(withContent.exitCode, 0) << withContent.output;

    const unsigned char* cursor = attached.data();
    const MessagePtr message(d2i_PKCS7(nullptr, &cursor, long(attached.size())));
    ASSERT_TRUE(message);
    STACK_OF(X509)* carried = message->d.sign->cert;
    ASSERT_EQ(sk_X509_num(carried), 3);
    const auto serialOf = [&](int i) { return ASN1_INTEGER_get(X509_get0_serialNumber(sk_X509_value(carried, i))); };
    EXPECT_EQ(serialOf(0), 7);
    EXPECT_NE(serialOf(1), 7);  // the test key pair's certificate, given first
    EXPECT_EQ(serialOf(2), 7);

    EXPECT_EQ(verifyMessage(attached), abi::CKR_OK);
    EXPECT_EQ(verifyMessage(detached, data), abi::CKR_OK);
    EXPECT_EQ(verifyMessage(detached), abi::CKR_SIGNATURE_INVALID);
    Bytes flipped = attached;
    flipped.back() ^= 0x01;  // the signature ends the message
    EXPECT_EQ(verifyMessage(flipped), abi::CKR_SIGNATURE_INVALID);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Keys, MessagesEndToEnd,
    ::testing::Values(
        KeyCase{"Gost2001", abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, kDigest94,
                NID_id_GostR3411_94_with_GostR3410_2001, 14, 36, 36},
        KeyCase{"Gost2012_256", abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, kDigest2012_256,
                NID_id_tc26_signwithdigest_gost3410_2012_256, 14, 37, 37},
        KeyCase{"Gost2012_512", abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, kTc26_512A, {},
                NID_id_tc26_signwithdigest_gost3410_2012_512, 14, 37, 37},
        KeyCase{"Rsa", abi::CKM_RSA_PKCS_KEY_PAIR_GEN, {}, {}, NID_sha1WithRSAEncryption, 14, 34, 34}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

// --- what the lists and arguments do ------------------------------------------

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(MessagesTest, RequestEntriesKeepTheirStringTypesCurveAndCriticality) {
    const Pair pair = generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, kXchA, kDigest94, "exchange");
    Lists lists;
    lists.subject =
        "1.2.643.100.1\0"
        "1027700132195\0"
        "1.2.643.100.3\0"
        "12345678901\0"
        "1.2.643.3.131.1.1\0"
        "007700000000\0"
        "CN\0"
        "12345678901\0"s;
    lists.subjectCount = 4;
    // The marker switches the 2001 key to the 2012 profile and adds nothing.
    lists.attributes = "1.2.643.7.1.1.2.2\0yes\0"s;
    Bytes request;
    ASSERT_EQ(MessagesTest::request(pair, lists, request), abi::CKR_OK);
    tool.write("request.der", request);

    const ToolResult parsed = tool.run("asn1parse -inform DER -in request.der");
    EXPECT_EQ(count(parsed.output, "NUMERICSTRING"), 3) << parsed.output;
    EXPECT_EQ(count(parsed.output, "UTF8STRING        :12345678901"), 1) << parsed.output;
    EXPECT_EQ(count(parsed.output, "id-GostR3410-2001-CryptoPro-XchA-ParamSet"), 1) << parsed.output;
    EXPECT_EQ(count(parsed.output, "challengePassword"), 0);
    EXPECT_EQ(count(parsed.output, "GOST R 34.10-2012 with GOST R 34.11-2012 (256 bit)"), 1) << parsed.output;

    const ToolResult text = tool.run("req -engine gost -inform DER -in request.der -verify -noout -text");
    EXPECT_EQ(text.exitCode, 0) << text.output;
    EXPECT_EQ(count(text.output, "X509v3 Key Usage: critical"), 1) << text.output;
    EXPECT_EQ(count(text.output, "X509v3 Basic Constraints: \n"), 1) << text.output;

    // The message's throw-away key is made on the key-exchange set too.
    Bytes message;
    ASSERT_EQ(signMessage(storeCertificate(issue(request), "exchange"), {'x'}, 0, {}, message), abi::CKR_OK);
    EXPECT_EQ(verifyMessage(message), abi::CKR_OK);
}

TEST_F(MessagesTest, RequestsAnswerRefusedEntriesAndBadHandlesWithTheirCodes) {
    const Pair pair = generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, kDigest94, "codes");
    struct Case {
        const char* what;
        Lists lists;
        CK_RV rv;
    };
    std::vector<Case> cases(6);
    cases[0] = {"unknown subject field", {}, abi::CKR_VENDOR_SUBJECT_ENTRY_REJECTED};
    cases[0].lists.subject = "noSuchField\0x\0"s;
    cases[0].lists.subjectCount = 1;
    cases[1] = {"unknown attribute", {}, abi::CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED};
    cases[1].lists.attributes = "noSuchAttribute\0x\0"s;
    cases[2] = {"unknown key usage", {}, abi::CKR_VENDOR_EXTENSION_REJECTED};
    cases[2].lists.extensions =
        "keyUsage\0notAUsage\0"
        "0\0"s;
    cases[2].lists.extensionCount = 1;
    // Pairs: the criticality text "1" becomes the name of a second extension.
    cases[3] = {"triples read as pairs", {}, abi::CKR_VENDOR_EXTENSION_REJECTED};
    cases[3].lists.extensionFormat = 1;
    cases[4] = {"empty extension list", {}, abi::CKR_OK};
    cases[4].lists.extensionCount = 0;
    cases[5] = {"no extension list", {}, abi::CKR_OK};
    cases[5].lists.extensions.reset();
    for (const Case& c : cases) {
        Bytes request;
        EXPECT_EQ(MessagesTest::request(pair, c.lists, request), c.rv) << c.what;
        if (c.rv != abi::CKR_OK) continue;
        const RequestPtr decoded(decodeRequest(request));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(X509_REQ_get_attr_by_NID(decoded.get(), NID_ext_req, -1) >= 0, c.lists.extensions.has_value())
            << c.what;
    }

    CK_ULONG length = 0;
    const Lists lists;
    EXPECT_EQ(slots().createCertificateRequest(host->context(), user(), host->settings(), nullptr, nullptr,
                                               lists.subject.data(), 1, nullptr, &length, nullptr, 0, nullptr, 0, 1),
              abi::CKR_FUNCTION_FAILED);
    const Pair unknown{{pair.publicKey.record, 0x50, 0x09}, {}};
    EXPECT_EQ(request(unknown, lists, nullptr, &length), abi::CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(MessagesTest, MessagesIgnoreOtherFlagsAndRefuseWrongHandles) {
    const Pair pair = generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, kDigest94, "flags");
    Bytes request;
    ASSERT_EQ(MessagesTest::request(pair, Lists{}, request), abi::CKR_OK);
    const abi::ObjectHandle signer = storeCertificate(issue(request), "flags");
    const Bytes data{'d', 'a', 't', 'a'};

    // Every flag but "detached", here "no certificates" and "no attributes"
    // off, is ignored: the certificate is carried and no attribute signed.
    Bytes message;
    ASSERT_EQ(signMessage(signer, data, 0x2 | 0x4, {}, message, &pair.privateKey), abi::CKR_OK);
    const unsigned char* cursor = message.data();
    const MessagePtr decoded(d2i_PKCS7(nullptr, &cursor, long(message.size())));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(sk_X509_num(decoded->d.sign->cert), 1);
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(decoded.get()), 0);
    EXPECT_LE(sk_X509_ATTRIBUTE_num(info->auth_attr), 0);  // none, or not even a list
    EXPECT_EQ(verifyMessage(message), abi::CKR_OK);

    const abi::ObjectHandle orphan = storeCertificate(issue(request), "no key has this id");
    const std::vector<abi::CertificateEntry> notCertificates{{pair.publicKey, {}}};
    const abi::ObjectHandle unknownDirectory{signer.record, 0x50, 0x09};
    struct Case {
        const char* what;
        const abi::ObjectHandle* certificate;
        Bytes data;
        std::vector<abi::CertificateEntry> further;
        CK_RV rv;
    };
    const Case cases[] = {
        {"no data", &signer, {}, {}, abi::CKR_ARGUMENTS_BAD},
        {"certificate in no directory", &unknownDirectory, data, {}, abi::CKR_OBJECT_HANDLE_INVALID},
        {"certificate without a private key", &orphan, data, {}, abi::CKR_OBJECT_HANDLE_INVALID},
        {"further entry names a key", &signer, data, notCertificates, abi::CKR_FUNCTION_FAILED},
    };
    for (const Case& c : cases) EXPECT_EQ(signMessage(*c.certificate, c.data, 0, c.further, message), c.rv) << c.what;

    // Failures while the signer's certificate and private key are read: a
    // refused read of the certificate's 2-byte length means no login, one
    // later in its content a failure; a failed read in the search for the
    // private key a key not found.
    struct Failure {
        const char* what;
        std::function<void()> plant;
        CK_RV rv;
    };
    const Failure failures[] = {
        {"length read refused", [&] { host->failOn("00 B0 00 00 02", Fault::status(0x69, 0x82)); },
         abi::CKR_USER_NOT_LOGGED_IN},
        {"content read refused", [&] { host->failOn("00 B0 00 02", Fault::status(0x69, 0x82)); },
         abi::CKR_FUNCTION_FAILED},
        // The 14th exchange: READ RECORD in 50 00, after login, certificate
        // and the SELECTs of the search.
        {"private key search fails", [&] { host->failAt(14, Fault::transport()); }, abi::CKR_OBJECT_HANDLE_INVALID},
    };
    for (const Failure& f : failures) {
        f.plant();
        EXPECT_EQ(signMessage(signer, data, 0, {}, message), f.rv) << f.what;
        host->clearFaults();
    }
}

// With settings byte 0 at 1 the certificate directory is kept in the
// application subdirectory: the signer's certificate is read from there.
TEST_F(MessagesTest, MessagesFindTheCertificateWhereTheSettingsKeepIt) {
    settings[0] = 1;
    host->setSettings(Bytes(settings.begin(), settings.end()));
    const Pair pair = generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, kCryptoProA, kDigest94, "settings");
    Bytes request, message;
    ASSERT_EQ(MessagesTest::request(pair, Lists{}, request), abi::CKR_OK);
    const abi::ObjectHandle signer = storeCertificate(issue(request), "settings");
    ASSERT_EQ(signMessage(signer, {'x'}, 0, {}, message), abi::CKR_OK);
    EXPECT_EQ(verifyMessage(message), abi::CKR_OK);
}

// An RSA key pair's key files are numbered after its public key's record,
// which differs here from its private key's: a lone public key took record
// 1 of the public keys first.
TEST_F(MessagesTest, RsaKeysSignWithTheKeyFilesOfTheirPublicKeyRecord) {
    mustCreate(publicKey("lone"));
    const Pair pair = generate(abi::CKM_RSA_PKCS_KEY_PAIR_GEN, {}, {}, "pair");
    ASSERT_EQ(pair.publicKey.record, 2);
    ASSERT_EQ(pair.privateKey.record, 1);
    Bytes request, message;
    ASSERT_EQ(MessagesTest::request(pair, Lists{}, request), abi::CKR_OK);
    tool.write("request.der", request);
    const ToolResult verified = tool.run("req -inform DER -in request.der -verify -noout");
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    const abi::ObjectHandle signer = storeCertificate(issue(request), "pair");
    ASSERT_EQ(signMessage(signer, {'x'}, 0, {}, message), abi::CKR_OK);
    EXPECT_EQ(verifyMessage(message), abi::CKR_OK);
}

// A key record without a key reference whose body is a GOST key file: the
// card's GOST signing names keys of the key directory only, so such a key
// is refused rather than signed with a reference that names another key.
TEST_F(MessagesTest, GostKeyFilesOutsideTheKeyDirectoryAreRefused) {
    const Pair pair = generate(abi::CKM_RSA_PKCS_KEY_PAIR_GEN, {}, {}, "body");
    const uint8_t n = pair.publicKey.record;
    const uint8_t reference = uint8_t(0x60 + n);
    // The user's login of the key generation still holds on the card.
    ASSERT_EQ(sendToCard(host->card(), "00 A4 08 04 04 A1 BC 7F 01").statusWord(), 0x9000);
    ASSERT_EQ(sendToCard(host->card(), Bytes{0x00, 0xE4, 0x00, 0x00, 0x02, 0x61, n}).statusWord(), 0x9000);
    const Bytes gostKeyFile{0x00, 0xE0, 0x00, 0x00, 0x32, 0x62, 0x30,      0x82, 0x01, 0x11,      0x83,
                            0x02, 0x61, n,    0x86, 0x0A, 0xFF, 0xFF,      0x12, 0x12, 0x12,      0xFF,
                            0xFF, 0x00, 0x12, 0x12, 0x8A, 0x01, 0x05,      0xA5, 0x18, 0x85,      0x01,
                            0x21, 0x86, 0x01, 0x88, 0x87, 0x01, reference, 0x88, 0x01, reference, 0x8F,
                            0x01, 0x08, 0x8E, 0x01, 0x02, 0x89, 0x01,      0x00, 0x8B, 0x01,      0x00};
    ASSERT_EQ(sendToCard(host->card(), gostKeyFile).statusWord(), 0x9000);

    Bytes request;
    EXPECT_EQ(MessagesTest::request(pair, Lists{}, request), abi::CKR_FUNCTION_FAILED);
}

}  // namespace
}  // namespace korva::test
