// Writes the seed corpus of fuzz_hostile_card: builds the prepared token on
// the virtual card (a GOST and an RSA key pair, three secret keys, a data
// object and a certificate for the GOST key, each where the scenarios look
// for it), then runs every scenario once on a copy of that card and writes
// the card's answers in the fuzz target's input format, one file per
// scenario:
//
//   ./build-fuzz/fuzz/record_hostile_card fuzz/corpus/hostile_card
#include "fuzz/hostile_card_scenarios.h"

#include "tests/support/host_template.h"

#include "common/openssl_ptr.h"
#include "sim/virtual_card.h"

#include <korva/pkcs11_constants.h>

#include <openssl/ec.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace korva;
using fuzz::Bytes;
using fuzz::kPrepared;
using test::Template;

sim::VirtualCard* card = nullptr;
Bytes* recording = nullptr;  // the answers of the scenario being recorded

void fail(const std::string& what) {
    std::fprintf(stderr, "record_hostile_card: %s\n", what.c_str());
    std::exit(1);
}

uint32_t transmit(abi::HostContext, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                  uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2, uint32_t, uint32_t) {
    const sim::Answer answer = card->transmit({command, commandLength});
    if (answer.data.size() > *responseLength) fail("the card answered more than the module asked for");
    if (recording != nullptr) {
        recording->insert(recording->end(), {answer.sw1, answer.sw2});
        if (answer.data.size() >= 0xFF) {
            recording->insert(recording->end(), {0xFF, uint8_t(answer.data.size() - 0xFF)});
        } else {
            recording->push_back(uint8_t(answer.data.size()));
        }
        recording->insert(recording->end(), answer.data.begin(), answer.data.end());
    }
    std::copy(answer.data.begin(), answer.data.end(), response);
    *responseLength = uint32_t(answer.data.size());
    *sw1 = answer.sw1;
    *sw2 = answer.sw2;
    return 0;
}

void mustSucceed(abi::CK_RV rv, const char* what) {
    if (rv != abi::CKR_OK) fail(std::string(what) + " failed with " + std::to_string(rv));
}

void mustBeAt(const abi::ObjectHandle& made, const abi::ObjectHandle& expected, const char* what) {
    if (std::memcmp(&made, &expected, sizeof made) != 0) fail(std::string(what) + " is not where the scenarios look");
}

void create(fuzz::Session& s, Template& tmpl, const abi::ObjectHandle& expected, const char* what) {
    abi::ObjectHandle handle{};
    abi::ObjectSummary summary{};
    mustSucceed(s.slots.createObject(&s.host, &s.user, &s.settings, tmpl.data(), tmpl.size(), &handle, &summary), what);
    mustBeAt(handle, expected, what);
}

void generatePair(fuzz::Session& s, uint32_t mechanismType, Template& pub, Template& priv,
                  const abi::ObjectHandle& expectedPublic, const abi::ObjectHandle& expectedPrivate) {
    const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
    abi::ObjectHandle publicHandle{}, privateHandle{};
    abi::ObjectSummary publicSummary{}, privateSummary{};
    mustSucceed(s.slots.generateKeyPair(s.host, &s.user, &s.settings, pub.data(), pub.size(), priv.data(), priv.size(),
                                        &mechanism, &publicHandle, &privateHandle, &publicSummary, &privateSummary),
                "key-pair generation");
    mustBeAt(publicHandle, expectedPublic, "a public key");
    mustBeAt(privateHandle, expectedPrivate, "a private key");
}

// A GOST 28147-89 key goes to the card only when the template does not
// claim it for the token.
Template secretKey(uint32_t keyType, uint8_t fill, std::initializer_list<uint32_t> uses) {
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, keyType);
    tmpl.flag(abi::CKA_TOKEN, keyType != abi::CKK_GOST28147);
    tmpl.bytes(abi::CKA_VALUE, Bytes(32, fill));
    for (const uint32_t use : uses) tmpl.flag(use, true);
    return tmpl;
}

// A certificate for the GOST key: the token's own request, issued by a
// throw-away authority.
Bytes issueForGostKey(fuzz::Session& s) {
    using namespace std::string_literals;
    const std::string subject = "CN\0hostile card signer\0"s;
    abi::CK_ULONG length = 0;
    const auto request = [&](uint8_t* out) {
        return s.slots.createCertificateRequest(s.host, &s.user, &s.settings, &kPrepared.gostPublic,
                                                &kPrepared.gostPrivate, subject.data(), 1, out, &length, nullptr, 0,
                                                nullptr, 0, 0);
    };
    mustSucceed(request(nullptr), "the request's length");
    Bytes der(length);
    mustSucceed(request(der.data()), "the request");
    der.resize(length);

    const EvpPkeyPtr authority(EVP_EC_gen("P-256"));
    const unsigned char* cursor = der.data();
    const OpenSslPtr<X509_REQ, X509_REQ_free> parsed(d2i_X509_REQ(nullptr, &cursor, long(der.size())));
    const X509Ptr certificate(X509_new());
    if (!authority || !parsed || !certificate) fail("no certificate for the GOST key");
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24 * 365);
    X509_set_subject_name(certificate.get(), X509_REQ_get_subject_name(parsed.get()));
    X509_NAME* issuer = X509_get_issuer_name(certificate.get());
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("fuzz authority"),
                               -1, -1, 0);
    X509_set_pubkey(certificate.get(), X509_REQ_get0_pubkey(parsed.get()));
    if (X509_sign(certificate.get(), authority.get(), EVP_sha256()) <= 0) fail("the certificate's signature");
    unsigned char* out = nullptr;
    const int written = i2d_X509(certificate.get(), &out);
    Bytes issued(out, out + std::max(written, 0));
    OPENSSL_free(out);
    return issued;
}

void prepareObjects(fuzz::Session& s) {
    Template pub, priv;
    pub.bytes(abi::CKA_GOSTR3410_PARAMS, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01})
        .flag(abi::CKA_TOKEN, true)
        .flag(abi::CKA_VERIFY, true)
        .text(abi::CKA_ID, "gost");
    priv.flag(abi::CKA_TOKEN, true).flag(abi::CKA_SIGN, true).flag(abi::CKA_DERIVE, true).flag(abi::CKA_PRIVATE, true);
    priv.text(abi::CKA_ID, "gost");
    generatePair(s, abi::CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv, kPrepared.gostPublic, kPrepared.gostPrivate);

    Template rsaPub, rsaPriv;
    rsaPub.number(abi::CKA_MODULUS_BITS, 1024).flag(abi::CKA_TOKEN, true).flag(abi::CKA_VERIFY, true);
    rsaPub.flag(abi::CKA_ENCRYPT, true).text(abi::CKA_ID, "rsa");
    rsaPriv.flag(abi::CKA_TOKEN, true).flag(abi::CKA_SIGN, true).flag(abi::CKA_DECRYPT, true);
    rsaPriv.flag(abi::CKA_PRIVATE, true).text(abi::CKA_ID, "rsa");
    generatePair(s, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPub, rsaPriv, kPrepared.rsaPublic, kPrepared.rsaPrivate);

    Template aes = secretKey(abi::CKK_AES, 0x10, {abi::CKA_ENCRYPT, abi::CKA_DECRYPT});
    create(s, aes, kPrepared.aesKey, "the AES key");
    Template wrapping = secretKey(abi::CKK_GOST28147, 0x20, {abi::CKA_WRAP, abi::CKA_UNWRAP});
    create(s, wrapping, kPrepared.gostWrappingKey, "the wrapping key");
    Template wrapped = secretKey(abi::CKK_GOST28147, 0x30, {abi::CKA_EXTRACTABLE, abi::CKA_ENCRYPT, abi::CKA_DECRYPT});
    create(s, wrapped, kPrepared.gostSecretKey, "the GOST 28147-89 key");

    Template data;
    data.number(abi::CKA_CLASS, abi::CKO_DATA).flag(abi::CKA_TOKEN, true).text(abi::CKA_LABEL, "prepared");
    data.bytes(abi::CKA_VALUE, Bytes(24, 0x64));
    create(s, data, kPrepared.dataObject, "the data object");

    Template certificate;
    certificate.number(abi::CKA_CLASS, abi::CKO_CERTIFICATE).flag(abi::CKA_TOKEN, true);
    certificate.number(abi::CKA_CERTIFICATE_TYPE, 0).text(abi::CKA_ID, "gost");
    certificate.bytes(abi::CKA_VALUE, issueForGostKey(s));
    create(s, certificate, kPrepared.gostCertificate, "the certificate");
}

std::array<uint8_t, KORVA_TOKEN_SETTINGS_SIZE> initialise() {
    std::array<uint8_t, KORVA_TOKEN_SETTINGS_SIZE> none{}, settings{};
    fuzz::Session s(&transmit, none);
    std::array<uint8_t, 32> label;
    label.fill(' ');
    mustSucceed(s.slots.initToken(s.host, reinterpret_cast<const uint8_t*>(fuzz::kSoPin), 8, label.data()),
                "initialisation");
    abi::CK_ULONG length = settings.size();
    mustSucceed(s.slots.readTokenSettings(s.host, settings.data(), &length), "reading the settings");
    return settings;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) fail("usage: record_hostile_card <corpus folder>");
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    sim::CardOptions options;
    options.randomSeed = 29;
    options.pinKeyCost = 1;
    sim::VirtualCard prepared = sim::VirtualCard::makeFresh(options);
    card = &prepared;
    const auto settings = initialise();
    {
        fuzz::Session s(&transmit, settings);
        prepareObjects(s);
    }
    const auto all = fuzz::scenarios();
    for (size_t index = 0; index < all.size(); ++index) {
        sim::VirtualCard copy = prepared;
        card = &copy;
        Bytes input{uint8_t(index)};
        input.insert(input.end(), settings.begin(), settings.end());
        recording = &input;
        std::string results;
        {
            fuzz::Session s(&transmit, settings);
            all[index].run(s);
            for (const abi::CK_RV rv : s.results) results += " " + std::to_string(rv);
        }
        recording = nullptr;
        char name[64];
        std::snprintf(name, sizeof name, "%02zu-%s", index, all[index].name);
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
        std::printf("%-28s %5zu bytes, results:%s\n", name, input.size(), results.c_str());
    }
    return 0;
}
