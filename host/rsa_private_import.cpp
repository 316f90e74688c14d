#include "host/rsa_private_import.h"

#include "common/openssl_error_mark.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

namespace korva::host {
namespace {

thread_local bool importing = false;

const ck_attribute* findAttribute(const ck_attribute* attributes, unsigned long count, ck_attribute_type_t type) {
    if (attributes == nullptr) return nullptr;
    for (unsigned long i = 0; i < count; ++i)
        if (attributes[i].type == type) return &attributes[i];
    return nullptr;
}

bool numberIs(const ck_attribute* attribute, unsigned long expected) {
    return attribute != nullptr && attribute->value != nullptr && attribute->value_len == sizeof(unsigned long) &&
           *static_cast<const unsigned long*>(attribute->value) == expected;
}

std::span<const uint8_t> bytesOf(const ck_attribute* attribute) {
    if (attribute == nullptr || attribute->value == nullptr || attribute->value_len == CK_UNAVAILABLE_INFORMATION)
        return {};
    return {static_cast<const uint8_t*>(attribute->value), attribute->value_len};
}

// Found objects of a template, at most two.
ck_rv_t findObjects(ck_session_handle_t session, std::vector<ck_attribute>& search,
                    std::vector<ck_object_handle_t>& found) {
    if (const ck_rv_t rv = C_FindObjectsInit(session, search.data(), search.size()); rv != CKR_OK) return rv;
    found.resize(2);
    unsigned long count = 0;
    const ck_rv_t rv = C_FindObjects(session, found.data(), found.size(), &count);
    C_FindObjectsFinal(session);
    found.resize(rv == CKR_OK ? count : 0);
    return rv;
}

// The token's RSA public key with this ID: none, or one whose modulus
// matches (else CKR_TEMPLATE_INCONSISTENT: the module would pair the private
// exponent with the wrong modulus).
ck_rv_t findPublicKey(ck_session_handle_t session, std::span<const uint8_t> id, std::span<const uint8_t> modulus,
                      bool& exists) {
    unsigned long publicClass = CKO_PUBLIC_KEY, rsa = CKK_RSA;
    std::vector<ck_attribute> search = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                        {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()}};
    std::vector<ck_object_handle_t> found;
    if (const ck_rv_t rv = findObjects(session, search, found); rv != CKR_OK) return rv;
    exists = !found.empty();
    if (!exists) return CKR_OK;
    std::vector<uint8_t> stored(modulus.size() + 1);
    ck_attribute read{CKA_MODULUS, stored.data(), stored.size()};
    if (C_GetAttributeValue(session, found.front(), &read, 1) != CKR_OK || read.value_len != modulus.size() ||
        !std::equal(modulus.begin(), modulus.end(), stored.begin()))
        return CKR_TEMPLATE_INCONSISTENT;
    return CKR_OK;
}

std::vector<uint8_t> sha1(std::span<const uint8_t> data) {
    const OpenSslErrorMark mark;
    std::vector<uint8_t> digest(20);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1) digest.clear();
    digest.resize(length);
    return digest;
}

class ImportScope final {
public:
    ImportScope() { importing = true; }
    ~ImportScope() { importing = false; }
    ImportScope(const ImportScope&) = delete;
    ImportScope& operator=(const ImportScope&) = delete;
};

}  // namespace

bool needsRsaKeyPairFile(const ck_attribute* attributes, unsigned long count) {
    return !importing && numberIs(findAttribute(attributes, count, CKA_CLASS), CKO_PRIVATE_KEY) &&
           numberIs(findAttribute(attributes, count, CKA_KEY_TYPE), CKK_RSA) &&
           !bytesOf(findAttribute(attributes, count, CKA_MODULUS)).empty();
}

ck_rv_t createRsaPrivateKey(ck_session_handle_t session, const ck_attribute* attributes, unsigned long count,
                            ck_object_handle_t* object) {
    if (object == nullptr) return CKR_ARGUMENTS_BAD;
    const ImportScope scope;
    const std::span<const uint8_t> modulus = bytesOf(findAttribute(attributes, count, CKA_MODULUS));
    std::vector<ck_attribute> privateTemplate(attributes, attributes + count);
    // A key without an ID gets the one applications commonly derive.
    const ck_attribute* givenId = findAttribute(attributes, count, CKA_ID);
    const std::vector<uint8_t> derivedId = bytesOf(givenId).empty() ? sha1(modulus) : std::vector<uint8_t>();
    std::span<const uint8_t> id = bytesOf(givenId);
    if (id.empty()) {
        id = derivedId;
        std::erase_if(privateTemplate, [](const ck_attribute& attribute) { return attribute.type == CKA_ID; });
        privateTemplate.push_back({CKA_ID, const_cast<uint8_t*>(id.data()), id.size()});
    }
    bool exists = false;
    if (const ck_rv_t rv = findPublicKey(session, id, modulus, exists); rv != CKR_OK) return rv;
    if (exists) return C_CreateObject(session, privateTemplate.data(), privateTemplate.size(), object);

    unsigned long publicClass = CKO_PUBLIC_KEY, rsa = CKK_RSA;
    unsigned char yes = 1, no = 0;
    static const uint8_t kDefaultExponent[] = {0x01, 0x00, 0x01};
    std::span<const uint8_t> exponent = bytesOf(findAttribute(attributes, count, CKA_PUBLIC_EXPONENT));
    if (exponent.empty()) exponent = kDefaultExponent;
    std::vector<ck_attribute> publicTemplate = {
        {CKA_CLASS, &publicClass, sizeof publicClass},
        {CKA_KEY_TYPE, &rsa, sizeof rsa},
        {CKA_TOKEN, &yes, 1},
        {CKA_PRIVATE, &no, 1},
        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
        {CKA_MODULUS, const_cast<uint8_t*>(modulus.data()), modulus.size()},
        {CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(exponent.data()), exponent.size()},
    };
    if (const ck_attribute* label = findAttribute(attributes, count, CKA_LABEL)) publicTemplate.push_back(*label);
    ck_object_handle_t publicKey = 0;
    if (const ck_rv_t rv = C_CreateObject(session, publicTemplate.data(), publicTemplate.size(), &publicKey);
        rv != CKR_OK)
        return rv;
    const ck_rv_t rv = C_CreateObject(session, privateTemplate.data(), privateTemplate.size(), object);
    if (rv != CKR_OK) C_DestroyObject(session, publicKey);
    return rv;
}

}  // namespace korva::host
