#include "examples/tour_objects.h"

#include "examples/tour_common.h"

#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include "common/openssl_ptr.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace korva::tour {

namespace {

namespace abi = korva::abi;
using Bytes = std::vector<uint8_t>;

// A self-signed certificate of a fresh 1024-bit RSA key, DER-encoded.
Bytes makeCertificate() {
    EvpPkeyPtr key(EVP_RSA_gen(1024));
    X509Ptr certificate = selfSignedCertificate(key.get(), "Token tour", 1);
    if (!certificate) return {};
    const int length = i2d_X509(certificate.get(), nullptr);
    if (length <= 0) return {};
    Bytes der(size_t(length), 0);
    unsigned char* cursor = der.data();
    i2d_X509(certificate.get(), &cursor);
    return der;
}

std::string hexText(const uint8_t* bytes, uint32_t length) {
    constexpr uint32_t kShown = 24;
    std::string text;
    char pair[4];
    for (uint32_t i = 0; i < length && i < kShown; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    if (length > kShown) text += "... (" + std::to_string(length) + " bytes)";
    return text;
}

const char* attributeName(uint32_t type) {
    switch (type) {
        case abi::CKA_TOKEN: return "CKA_TOKEN";
        case abi::CKA_PRIVATE: return "CKA_PRIVATE";
        case abi::CKA_LABEL: return "CKA_LABEL";
        case abi::CKA_APPLICATION: return "CKA_APPLICATION";
        case abi::CKA_VALUE: return "CKA_VALUE";
        case abi::CKA_OBJECT_ID: return "CKA_OBJECT_ID";
        case abi::CKA_CERTIFICATE_TYPE: return "CKA_CERTIFICATE_TYPE";
        case abi::CKA_ISSUER: return "CKA_ISSUER";
        case abi::CKA_SERIAL_NUMBER: return "CKA_SERIAL_NUMBER";
        case abi::CKA_SUBJECT: return "CKA_SUBJECT";
        case abi::CKA_ID: return "CKA_ID";
        case abi::CKA_KEY_TYPE: return "CKA_KEY_TYPE";
        case abi::CKA_MODULUS: return "CKA_MODULUS";
        case abi::CKA_PUBLIC_EXPONENT: return "CKA_PUBLIC_EXPONENT";
        default: return nullptr;
    }
}

std::string handleText(const abi::ObjectHandle& handle) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", handle.record, handle.directoryHigh, handle.directoryLow);
    return text;
}

const char* className(uint32_t objectClass) {
    static constexpr const char* kNames[] = {"data object", "certificate", "public key", "private key", "secret key"};
    return objectClass < 5 ? kNames[objectClass] : "object";
}

// One attribute a line. The class is in the heading; the boolean defaults
// every object is completed with are left out to keep the listing short.
void printAttributes(const abi::CK_ATTRIBUTE* attributes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const abi::CK_ATTRIBUTE& attribute = attributes[i];
        const char* name = attributeName(attribute.type);
        if (name == nullptr || attribute.ulValueLen == 0 || attribute.ulValueLen == 0xFFFFFFFF) continue;
        const auto* bytes = static_cast<const uint8_t*>(attribute.pValue);
        std::string value;
        if (attribute.type == abi::CKA_LABEL || attribute.type == abi::CKA_APPLICATION ||
            attribute.type == abi::CKA_ID) {
            // Appended piece by piece: GCC 12's -Wrestrict misfires on the
            // chained operator+ form in optimised builds.
            value.reserve(attribute.ulValueLen + 2);
            value.push_back('"');
            value.append(reinterpret_cast<const char*>(bytes), attribute.ulValueLen);
            value.push_back('"');
        } else {
            value = hexText(bytes, attribute.ulValueLen);
        }
        std::cout << "      " << name << " = " << value << "\n";
    }
}

struct Attribute {
    uint32_t type;
    Bytes value;
};

abi::CK_RV create(test::TestHost& host, std::vector<Attribute>& attributes, abi::ObjectHandle& handle) {
    std::vector<abi::CK_ATTRIBUTE> tmpl;
    for (Attribute& attribute : attributes) {
        tmpl.push_back({attribute.type, attribute.value.data(), uint32_t(attribute.value.size())});
    }
    abi::ObjectSummary summary{};
    return host.table()->createObject(host.contextPointer(), host.login(1, kUserPin), host.settings(), tmpl.data(),
                                      uint32_t(tmpl.size()), &handle, &summary);
}

Bytes number(uint32_t value) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}
Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

}  // namespace

std::vector<abi::ObjectHandle> listObjects(test::TestHost& host) {
    std::vector<abi::ObjectHandle> handles;
    const abi::ModuleFunctionTable& slots = *host.table();
    abi::FindCursor cursor{};
    slots.findObjectsInit(host.context(), nullptr, nullptr, 0, &cursor);
    for (;;) {
        abi::CK_ATTRIBUTE* attributes = nullptr;
        abi::CK_ULONG count = 0;
        abi::ObjectHandle handle{};
        abi::CK_OBJECT_CLASS objectClass = 0;
        uint8_t isPrivate = 0;
        const abi::CK_RV rv =
            slots.findNextObjectAttributes(host.context(), host.login(1, kUserPin), host.settings(), &cursor,
                                           &attributes, &count, &handle, &objectClass, &isPrivate);
        if (rv != abi::CKR_OK) {
            if (rv != 8) std::cout << "  slot 62 failed: 0x" << std::hex << rv << std::dec << "\n";
            return handles;
        }
        handles.push_back(handle);
        std::cout << "    " << handleText(handle) << "  " << className(objectClass) << (isPrivate ? " (private)" : "")
                  << ", " << count << " attributes\n";
        printAttributes(attributes, count);
        slots.releaseAttributes(attributes, count);
    }
}

void showObjects(test::TestHost& host) {
    const abi::ModuleFunctionTable& slots = *host.table();
    std::vector<Attribute> data = {{abi::CKA_CLASS, number(abi::CKO_DATA)},
                                   {abi::CKA_TOKEN, {1}},
                                   {abi::CKA_LABEL, text("tour note")},
                                   {abi::CKA_APPLICATION, text("token tour")},
                                   {abi::CKA_VALUE, text("written by the token tour")}};
    abi::ObjectHandle dataHandle{};
    std::cout << "  slot 11 (create a data object): 0x" << std::hex << create(host, data, dataHandle) << std::dec
              << "\n";

    std::vector<Attribute> certificate = {{abi::CKA_CLASS, number(abi::CKO_CERTIFICATE)},
                                          {abi::CKA_TOKEN, {1}},
                                          {abi::CKA_CERTIFICATE_TYPE, number(0)},
                                          {abi::CKA_LABEL, text("tour certificate")},
                                          {abi::CKA_ID, text("tour")},
                                          {abi::CKA_VALUE, makeCertificate()}};
    abi::ObjectHandle certificateHandle{};
    std::cout << "  slot 11 (create a certificate): 0x" << std::hex << create(host, certificate, certificateHandle)
              << std::dec << "\n";

    std::cout << "  the token's objects (slots 14, 62, 63):\n";
    listObjects(host);

    // The tour leaves the token as it found it.
    for (const abi::ObjectHandle& handle : {dataHandle, certificateHandle}) {
        const abi::CK_RV rv = slots.destroyObject(host.context(), host.login(1, kUserPin), host.settings(), &handle);
        std::cout << "  slot 16 (destroy " << handleText(handle) << "): 0x" << std::hex << rv << std::dec << "\n";
    }
}

}  // namespace korva::tour
