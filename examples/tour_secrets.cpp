#include "examples/tour_secrets.h"

#include "examples/tour_common.h"

#include "examples/tour_objects.h"

#include "common/openssl_ptr.h"

#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace korva::tour {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kPassword = "tour";

// A fresh 1024-bit RSA key and a self-signed certificate for signing, in a
// PKCS#12 file as OpenSSL writes it today.
Bytes makePkcs12() {
    EvpPkeyPtr key(EVP_RSA_gen(1024));
    X509Ptr certificate = selfSignedCertificate(key.get(), "Token tour import", 2);
    if (!certificate) return {};
    using Pkcs12Ptr = OpenSslPtr<PKCS12, PKCS12_free>;
    const Pkcs12Ptr file(PKCS12_create(kPassword, "tour", key.get(), certificate.get(), nullptr, 0, 0, 0, 0, 0));
    const int length = file ? i2d_PKCS12(file.get(), nullptr) : 0;
    if (length <= 0) return {};
    Bytes der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    i2d_PKCS12(file.get(), &cursor);
    return der;
}

void generateAesKey(test::TestHost& host) {
    const uint32_t objectClass = abi::CKO_SECRET_KEY, length = 32;
    const char label[] = "tour AES key";
    abi::CK_BBOOL token = 1;
    abi::CK_ATTRIBUTE tmpl[] = {
        {abi::CKA_CLASS, const_cast<uint32_t*>(&objectClass), 4},
        {abi::CKA_TOKEN, &token, 1},
        {abi::CKA_LABEL, const_cast<char*>(label), uint32_t(std::strlen(label))},
        {abi::CKA_VALUE_LEN, const_cast<uint32_t*>(&length), 4},
    };
    const abi::CK_MECHANISM mechanism{abi::CKM_AES_KEY_GEN, nullptr, 0};
    abi::ObjectHandle handle{};
    abi::ObjectSummary summary{};
    const abi::CK_RV rv = host.table()->generateKey(host.context(), host.login(1, kUserPin), host.settings(), tmpl, 4,
                                                    &mechanism, &handle, &summary);
    std::cout << "  slot 19 (a 256-bit AES key from the card's random numbers): 0x" << std::hex << rv << std::dec
              << "\n";
}

void importPkcs12(test::TestHost& host, const std::filesystem::path& outputDirectory) {
    const Bytes file = makePkcs12();
    const std::filesystem::path path = outputDirectory / "tour-import.p12";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    abi::ObjectSummary certificate{}, publicKey{}, privateKey{};
    const abi::CK_RV rv = host.table()->importPkcs12(
        host.context(), host.login(1, kUserPin), host.settings(), file.data(), uint32_t(file.size()), kPassword,
        uint32_t(std::strlen(kPassword)), &certificate, &publicKey, &privateKey);
    std::cout << "  slot 46 (import " << path.string() << ", password \"" << kPassword << "\"): 0x" << std::hex << rv
              << std::dec << "\n";
}

}  // namespace

void showSecretKeysAndImport(test::TestHost& host, const std::filesystem::path& outputDirectory) {
    std::cout << "  the token's objects before:\n";
    const std::vector<abi::ObjectHandle> before = listObjects(host);
    generateAesKey(host);
    importPkcs12(host, outputDirectory);
    std::cout << "  the token's objects now:\n";
    const std::vector<abi::ObjectHandle> after = listObjects(host);

    // The tour leaves the token as it found it.
    const auto same = [](const abi::ObjectHandle& a, const abi::ObjectHandle& b) {
        return a.record == b.record && a.directoryHigh == b.directoryHigh && a.directoryLow == b.directoryLow;
    };
    for (const abi::ObjectHandle& handle : after) {
        if (std::ranges::any_of(before, [&](const abi::ObjectHandle& old) { return same(old, handle); })) continue;
        const abi::CK_RV rv =
            host.table()->destroyObject(host.context(), host.login(1, kUserPin), host.settings(), &handle);
        std::cout << "  slot 16 (destroy " << int(handle.record) << " " << std::hex << int(handle.directoryHigh) << " "
                  << int(handle.directoryLow) << "): 0x" << rv << std::dec << "\n";
    }
}

}  // namespace korva::tour
