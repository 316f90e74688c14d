#include "host/key_generation.h"

#include "common/wiped_bytes.h"

#include <bit>
#include <vector>

namespace korva::host {
namespace {

// DES keys carry a parity bit in each byte; the ciphers ignore it, but
// applications that check keys expect odd parity.
void setOddParity(WipedBytes& key) {
    for (uint8_t& byte : key)
        if (std::popcount(static_cast<unsigned>(byte)) % 2 == 0) byte ^= 0x01;
}

bool numberIs(const ck_attribute& attribute, unsigned long expected) {
    return attribute.value != nullptr && attribute.value_len == sizeof(unsigned long) &&
           *static_cast<const unsigned long*>(attribute.value) == expected;
}

// The application's template, checked against what the mechanism makes;
// CKA_VALUE_LEN is checked and left out (the value states its length).
ck_rv_t keyTemplate(const LibraryKeyGeneration& generation, const ck_attribute* attributes, unsigned long count,
                    std::vector<ck_attribute>& result) {
    if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    for (unsigned long i = 0; i < count; ++i) {
        const ck_attribute& attribute = attributes[i];
        switch (attribute.type) {
            case CKA_CLASS:
                if (!numberIs(attribute, CKO_SECRET_KEY)) return CKR_TEMPLATE_INCONSISTENT;
                continue;
            case CKA_KEY_TYPE:
                if (!numberIs(attribute, generation.keyType)) return CKR_TEMPLATE_INCONSISTENT;
                continue;
            case CKA_VALUE_LEN:
                if (!numberIs(attribute, generation.length)) return CKR_TEMPLATE_INCONSISTENT;
                continue;
            case CKA_VALUE: return CKR_TEMPLATE_INCONSISTENT;
            default: result.push_back(attribute);
        }
    }
    return CKR_OK;
}

}  // namespace

ck_rv_t generateFromCardRandom(const LibraryKeyGeneration& generation, ck_session_handle_t session,
                               const ck_mechanism& mechanism, const ck_attribute* attributes, unsigned long count,
                               ck_object_handle_t* key) {
    if (key == nullptr) return CKR_ARGUMENTS_BAD;
    if (mechanism.parameter != nullptr || mechanism.parameter_len != 0) return CKR_MECHANISM_PARAM_INVALID;
    std::vector<ck_attribute> keyAttributes;
    if (const ck_rv_t rv = keyTemplate(generation, attributes, count, keyAttributes); rv != CKR_OK) return rv;
    WipedBytes value(generation.length);
    if (const ck_rv_t rv = C_GenerateRandom(session, value.data(), value.size()); rv != CKR_OK) return rv;
    if (generation.desParity) setOddParity(value);
    unsigned long objectClass = CKO_SECRET_KEY;
    unsigned long keyType = generation.keyType;
    keyAttributes.push_back({CKA_CLASS, &objectClass, sizeof objectClass});
    keyAttributes.push_back({CKA_KEY_TYPE, &keyType, sizeof keyType});
    keyAttributes.push_back({CKA_VALUE, value.data(), value.size()});
    return C_CreateObject(session, keyAttributes.data(), keyAttributes.size(), key);
}

}  // namespace korva::host
