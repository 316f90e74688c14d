#include "objects/attribute_kinds.h"

#include "objects/layout.h"

#include <korva/pkcs11_types.h>

#include <algorithm>

namespace korva::objects {

namespace {

using namespace korva::abi;
using K = AttributeKind;
using D = AttributeDefault;

constexpr bool kStored = false;
constexpr bool kDerived = true;

// One row per type the object store knows, sorted by type for the lookup.
constexpr AttributeTraits kTraits[] = {
    {CKA_CLASS, K::Unsupported, D::None, kDerived},
    {CKA_TOKEN, K::Boolean, D::False, kStored},
    {CKA_PRIVATE, K::Boolean, D::False, kStored},
    {CKA_LABEL, K::ByteString, D::Empty, kStored},
    {CKA_APPLICATION, K::ByteString, D::None, kStored},
    {CKA_VALUE, K::ByteString, D::None, kDerived},
    {CKA_OBJECT_ID, K::ByteString, D::Empty, kStored},
    {CKA_CERTIFICATE_TYPE, K::Number, D::None, kStored},
    {CKA_ISSUER, K::ByteString, D::None, kDerived},
    {CKA_SERIAL_NUMBER, K::ByteString, D::None, kDerived},
    {CKA_TRUSTED, K::Boolean, D::False, kStored},
    {CKA_CERTIFICATE_CATEGORY, K::Number, D::None, kStored},
    {CKA_CHECK_VALUE, K::ByteString, D::None, kStored},
    {CKA_KEY_TYPE, K::Number, D::None, kStored},
    {CKA_SUBJECT, K::ByteString, D::None, kDerived},
    {CKA_ID, K::ByteString, D::Empty, kStored},
    {CKA_SENSITIVE, K::Boolean, D::True, kStored},
    {CKA_ENCRYPT, K::Boolean, D::True, kStored},
    {CKA_DECRYPT, K::Boolean, D::True, kStored},
    {CKA_WRAP, K::Boolean, D::True, kStored},
    {CKA_UNWRAP, K::Boolean, D::True, kStored},
    {CKA_SIGN, K::Boolean, D::True, kStored},
    {CKA_SIGN_RECOVER, K::Boolean, D::False, kStored},
    {CKA_VERIFY, K::Boolean, D::True, kStored},
    {CKA_VERIFY_RECOVER, K::Boolean, D::False, kStored},
    {CKA_DERIVE, K::Boolean, D::False, kStored},
    {CKA_START_DATE, K::Date, D::None, kStored},
    {CKA_END_DATE, K::Date, D::None, kStored},
    {CKA_MODULUS, K::ByteString, D::None, kDerived},
    {CKA_MODULUS_BITS, K::Number, D::None, kStored},
    {CKA_PUBLIC_EXPONENT, K::ByteString, D::None, kDerived},
    {CKA_PRIVATE_EXPONENT, K::ByteString, D::None, kDerived},
    {CKA_PRIME_1, K::ByteString, D::None, kDerived},
    {CKA_PRIME_2, K::ByteString, D::None, kDerived},
    {CKA_EXPONENT_1, K::ByteString, D::None, kDerived},
    {CKA_EXPONENT_2, K::ByteString, D::None, kDerived},
    {CKA_COEFFICIENT, K::ByteString, D::None, kDerived},
    {CKA_VALUE_LEN, K::Number, D::None, kStored},
    {CKA_EXTRACTABLE, K::Boolean, D::False, kStored},
    {CKA_LOCAL, K::Boolean, D::True, kStored},
    {CKA_NEVER_EXTRACTABLE, K::Boolean, D::True, kStored},
    {CKA_ALWAYS_SENSITIVE, K::Boolean, D::True, kStored},
    {CKA_MODIFIABLE, K::Boolean, D::True, kStored},
    {CKA_EC_PARAMS, K::ByteString, D::None, kStored},
    {CKA_EC_POINT, K::ByteString, D::None, kDerived},
    // Known to PKCS#11 and always false here, but not kept in records.
    {CKA_ALWAYS_AUTHENTICATE, K::Unsupported, D::False, kStored},
    {CKA_GOSTR3410_PARAMS, K::ByteString, D::None, kStored},
    {CKA_GOSTR3411_PARAMS, K::ByteString, D::None, kStored},
    {CKA_GOST28147_PARAMS, K::ByteString, D::None, kStored},
    {CKA_VENDOR_KEY_REFERENCE, K::ByteString, D::None, kStored},
};

constexpr bool sortedByType() {
    for (std::size_t i = 1; i < std::size(kTraits); ++i)
        if (kTraits[i - 1].type >= kTraits[i].type) return false;
    return true;
}
static_assert(sortedByType(), "the attribute table must stay sorted by type");

// clang-format off
constexpr uint32_t kDataDefaults[] = {CKA_PRIVATE, CKA_TOKEN, CKA_MODIFIABLE};
constexpr uint32_t kPublicKeyDefaults[] = {CKA_PRIVATE, CKA_TOKEN, CKA_MODIFIABLE, CKA_DERIVE, CKA_LOCAL,
                                           CKA_ENCRYPT, CKA_VERIFY, CKA_WRAP, CKA_TRUSTED};
constexpr uint32_t kPrivateKeyDefaults[] = {CKA_PRIVATE, CKA_TOKEN, CKA_MODIFIABLE, CKA_DERIVE, CKA_LOCAL,
                                            CKA_SENSITIVE, CKA_DECRYPT, CKA_SIGN, CKA_UNWRAP, CKA_EXTRACTABLE,
                                            CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_AUTHENTICATE};
constexpr uint32_t kSecretKeyDefaults[] = {CKA_PRIVATE, CKA_TOKEN, CKA_MODIFIABLE, CKA_DERIVE, CKA_LOCAL,
                                           CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_WRAP,
                                           CKA_UNWRAP, CKA_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE};
// clang-format on

}  // namespace

bool isUpdatableAttribute(uint16_t directoryId, uint32_t type) {
    const ClassLayout* layout = layoutForDirectory(directoryId);
    if (layout == nullptr) return false;
    if (type == CKA_LABEL) return true;
    switch (layout->objectClass) {
        case ObjectClass::Data: return type == CKA_VALUE;
        case ObjectClass::Certificate: return type == CKA_ID || type == CKA_SERIAL_NUMBER;
        default: return type == CKA_ID;
    }
}

std::span<const uint32_t> classDefaultAttributes(uint32_t classNumber) {
    switch (classNumber) {
        case CKO_DATA:
        case CKO_CERTIFICATE: return kDataDefaults;
        case CKO_PUBLIC_KEY: return kPublicKeyDefaults;
        case CKO_PRIVATE_KEY: return kPrivateKeyDefaults;
        case CKO_SECRET_KEY: return kSecretKeyDefaults;
        default: return {};
    }
}

// clang-format off
const std::array<uint32_t, 20> kStandardAttributes = {
    // The seventeen booleans ...
    CKA_PRIVATE, CKA_TOKEN, CKA_MODIFIABLE, CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_WRAP,
    CKA_EXTRACTABLE, CKA_UNWRAP, CKA_DERIVE, CKA_TRUSTED, CKA_LOCAL, CKA_ALWAYS_SENSITIVE,
    CKA_NEVER_EXTRACTABLE, CKA_SENSITIVE, CKA_ALWAYS_AUTHENTICATE,
    // ... then the three byte strings that read as empty.
    CKA_LABEL, CKA_OBJECT_ID, CKA_ID,
};
// clang-format on

AttributeTraits attributeTraits(uint32_t type) {
    const auto* end = std::end(kTraits);
    const auto* found = std::lower_bound(std::begin(kTraits), end, type,
                                         [](const AttributeTraits& row, uint32_t t) { return row.type < t; });
    if (found != end && found->type == type) return *found;
    return {type, K::Unsupported, D::None, false};
}

uint32_t fixedWidth(AttributeKind kind) {
    switch (kind) {
        case K::Boolean: return 1;
        case K::Number: return 4;
        case K::Date: return 8;
        default: return 0;
    }
}

AttributeClassification classifyAttribute(uint32_t type, uint32_t templateLength) {
    const AttributeKind kind = attributeTraits(type).kind;
    switch (kind) {
        case K::Boolean:
        case K::Number: return {kind, fixedWidth(kind)};
        case K::Date:
        case K::ByteString: return {kind, templateLength};
        case K::Unsupported: break;
    }
    return {K::Unsupported, 0};
}

}  // namespace korva::objects
