#include "examples/tour_messages.h"

#include "examples/tour_common.h"

#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include "common/openssl_ptr.h"

#include <openssl/ec.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace korva::tour {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

std::string rvText(abi::CK_RV rv) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", unsigned(rv));
    return rv == abi::CKR_OK ? "CKR_OK" : text;
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A certificate for the request's key and subject, issued by a throw-away
// authority: the tour's message needs a certificate on the token, and
// whoever checks it trusts the key inside, not the chain.
Bytes issueCertificate(const Bytes& requestDer) {
    const EvpPkeyPtr authority(EVP_EC_gen("P-256"));
    const unsigned char* cursor = requestDer.data();
    const OpenSslPtr<X509_REQ, X509_REQ_free> request(d2i_X509_REQ(nullptr, &cursor, long(requestDer.size())));
    const X509Ptr certificate = startCertificate(1);
    if (!authority || !request || !certificate) return {};
    X509_set_subject_name(certificate.get(), X509_REQ_get_subject_name(request.get()));
    X509_NAME* issuer = X509_get_issuer_name(certificate.get());
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Token tour authority"), -1, -1, 0);
    X509_set_pubkey(certificate.get(), X509_REQ_get0_pubkey(request.get()));
    if (X509_sign(certificate.get(), authority.get(), EVP_sha256()) <= 0) return {};
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate.get(), &der);
    Bytes out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return out;
}

// Slots 48 and 49 answer a length query first; then the bytes.
template <typename Call>
abi::CK_RV queryThenFill(Call call, Bytes& out) {
    abi::CK_ULONG length = 0;
    if (const abi::CK_RV rv = call(nullptr, &length); rv != abi::CKR_OK) return rv;
    out.assign(length, 0);
    const abi::CK_RV rv = call(out.data(), &length);
    out.resize(length);
    return rv;
}

abi::CK_RV makeRequest(test::TestHost& host, abi::LoginRecord* user, const abi::ObjectHandle& publicKey,
                       const abi::ObjectHandle& privateKey, Bytes& request) {
    const std::string subject =
        "CN\0KORVA token tour\0"
        "O\0Token tour\0"
        "1.2.643.100.3\0"
        "12345678901\0"s;
    const std::string extensions =
        "keyUsage\0digitalSignature,nonRepudiation\0"
        "1\0"
        "extendedKeyUsage\0emailProtection\0"
        "0\0"s;
    const auto call = [&](uint8_t* output, abi::CK_ULONG* length) {
        return host.table()->createCertificateRequest(host.context(), user, host.settings(), &publicKey, &privateKey,
                                                      subject.data(), 3, output, length, nullptr, 0, extensions.data(),
                                                      2, 0);
    };
    return queryThenFill(call, request);
}

abi::CK_RV makeMessage(test::TestHost& host, abi::LoginRecord* user, const abi::ObjectHandle& certificate,
                       const abi::ObjectHandle& privateKey, const std::string& text, Bytes& message) {
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const auto call = [&](uint8_t* output, abi::CK_ULONG* length) {
        return host.table()->signMessage(host.context(), user, host.settings(), data, abi::CK_ULONG(text.size()),
                                         &certificate, output, length, &privateKey, nullptr, 0, 0);
    };
    return queryThenFill(call, message);
}

abi::CK_RV storeCertificate(test::TestHost& host, abi::LoginRecord* user, const Bytes& der, abi::ObjectHandle& handle) {
    abi::CK_OBJECT_CLASS certificateClass = abi::CKO_CERTIFICATE;
    abi::CK_CERTIFICATE_TYPE x509 = 0;
    abi::CK_BBOOL yes = 1;
    const std::string id = "token tour";  // the tour's key pair's CKA_ID
    abi::CK_ATTRIBUTE tmpl[] = {
        {abi::CKA_CLASS, &certificateClass, sizeof certificateClass},
        {abi::CKA_TOKEN, &yes, 1},
        {abi::CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
        {abi::CKA_ID, const_cast<char*>(id.data()), abi::CK_ULONG(id.size())},
        {abi::CKA_VALUE, const_cast<uint8_t*>(der.data()), abi::CK_ULONG(der.size())},
    };
    abi::ObjectSummary summary{};
    return host.table()->createObject(host.contextPointer(), user, host.settings(), tmpl, 5, &handle, &summary);
}

}  // namespace

void makeRequestAndMessage(test::TestHost& host, abi::LoginRecord* user, const abi::ObjectHandle& publicKey,
                           const abi::ObjectHandle& privateKey, const std::filesystem::path& directory) {
    Bytes request;
    abi::CK_RV rv = makeRequest(host, user, publicKey, privateKey, request);
    std::cout << "  slot 48 (certificate request signed on the card): " << rvText(rv) << ", " << request.size()
              << " bytes\n";
    if (rv != abi::CKR_OK) return;
    const std::filesystem::path requestFile = directory / "tour-request.der";
    writeFile(requestFile, request);

    abi::ObjectHandle certificate{};
    rv = storeCertificate(host, user, issueCertificate(request), certificate);
    std::cout << "  slot 11 (a certificate issued for the request): " << rvText(rv) << "\n";
    if (rv != abi::CKR_OK) return;
    const std::string text = "A PKCS#7 message signed on the KORVA token by the token tour.\n";
    Bytes message;
    rv = makeMessage(host, user, certificate, privateKey, text, message);
    std::cout << "  slot 49 (PKCS#7 message signed on the card): " << rvText(rv) << ", " << message.size()
              << " bytes\n";
    if (rv == abi::CKR_OK) {
        const std::filesystem::path messageFile = directory / "tour-message.p7s";
        writeFile(messageFile, message);
        rv = host.table()->verifyMessage(host.context(), nullptr, nullptr, message.data(),
                                         abi::CK_ULONG(message.size()), nullptr, 0);
        std::cout << "  slot 50 (verify the message): " << rvText(rv) << "\n"
                  << "  written: " << requestFile.string() << ", " << messageFile.string() << "\n"
                  << "  check with: openssl req -engine gost -inform DER -in " << requestFile.string()
                  << " -verify -noout\n"
                  << "              openssl cms -verify -noverify -binary -engine gost -inform DER -in "
                  << messageFile.string() << "\n";
    }
    rv = host.table()->destroyObject(host.context(), user, host.settings(), &certificate);
    std::cout << "  slot 16 (destroy the certificate): " << rvText(rv) << "\n";
}

}  // namespace korva::tour
