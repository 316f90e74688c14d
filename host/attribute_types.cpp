#include "host/attribute_types.h"

#include <array>
#include <bit>
#include <cstdint>
#include <vector>

namespace korva::host {
namespace {

// The object classes of the token, one bit each.
enum : uint8_t {
    kData = 1,
    kCertificate = 2,
    kPublicKey = 4,
    kPrivateKey = 8,
    kSecretKey = 16,
    kKeys = kPublicKey | kPrivateKey | kSecretKey,
    kAll = kData | kCertificate | kKeys,
};

struct AttributeType {
    ck_attribute_type_t type;
    ValueKind kind;
    uint8_t classes;
    // The classes whose objects it names: fixed when the object is made,
    // part of what the object is (a key's public material, a certificate,
    // a data object's content), and never a value that must stay secret.
    uint8_t names = 0;
};

using enum ValueKind;

// Key-type attributes (RSA, EC, GOST) stand for their class whatever the key
// type: a GOST key simply never holds a modulus.
constexpr AttributeType kTypes[] = {
    // Every object.
    {CKA_CLASS, Number, kAll, kAll},
    {CKA_TOKEN, Boolean, kAll},
    {CKA_PRIVATE, Boolean, kAll},
    {CKA_MODIFIABLE, Boolean, kAll},
    {CKA_COPYABLE, Boolean, kAll},
    {CKA_DESTROYABLE, Boolean, kAll},
    {CKA_LABEL, Bytes, kAll},
    // Data objects.
    {CKA_APPLICATION, Bytes, kData, kData},
    {CKA_OBJECT_ID, Bytes, kData, kData},
    {CKA_VALUE, Bytes, kData | kCertificate | kPublicKey | kPrivateKey | kSecretKey, kData | kCertificate | kPublicKey},
    // Certificates.
    {CKA_CERTIFICATE_TYPE, Number, kCertificate, kCertificate},
    {CKA_TRUSTED, Boolean, kCertificate | kPublicKey | kSecretKey},
    {CKA_CERTIFICATE_CATEGORY, Number, kCertificate},
    {CKA_CHECK_VALUE, Bytes, kCertificate | kSecretKey},
    {CKA_ISSUER, Bytes, kCertificate},
    {CKA_SERIAL_NUMBER, Bytes, kCertificate},
    {CKA_AC_ISSUER, Bytes, kCertificate},
    {CKA_OWNER, Bytes, kCertificate},
    {CKA_ATTR_TYPES, Bytes, kCertificate},
    {CKA_URL, Bytes, kCertificate},
    {CKA_HASH_OF_SUBJECT_PUBLIC_KEY, Bytes, kCertificate},
    {CKA_HASH_OF_ISSUER_PUBLIC_KEY, Bytes, kCertificate},
    {CKA_JAVA_MIDP_SECURITY_DOMAIN, Number, kCertificate},
    {CKA_NAME_HASH_ALGORITHM, Number, kCertificate},
    {CKA_SUBJECT, Bytes, kCertificate | kPublicKey | kPrivateKey},
    {CKA_ID, Bytes, kCertificate | kKeys},
    {CKA_START_DATE, Date, kCertificate | kKeys},
    {CKA_END_DATE, Date, kCertificate | kKeys},
    {CKA_PUBLIC_KEY_INFO, Bytes, kCertificate | kPublicKey | kPrivateKey},
    // Keys.
    {CKA_KEY_TYPE, Number, kKeys, kKeys},
    {CKA_DERIVE, Boolean, kKeys},
    {CKA_LOCAL, Boolean, kKeys},
    {CKA_KEY_GEN_MECHANISM, Number, kKeys},
    {CKA_ALLOWED_MECHANISMS, NumberList, kKeys},
    {CKA_ENCRYPT, Boolean, kPublicKey | kSecretKey},
    {CKA_VERIFY, Boolean, kPublicKey | kSecretKey},
    {CKA_VERIFY_RECOVER, Boolean, kPublicKey},
    {CKA_WRAP, Boolean, kPublicKey | kSecretKey},
    {CKA_WRAP_TEMPLATE, AttributeList, kPublicKey | kSecretKey},
    {CKA_SENSITIVE, Boolean, kPrivateKey | kSecretKey},
    {CKA_DECRYPT, Boolean, kPrivateKey | kSecretKey},
    {CKA_SIGN, Boolean, kPrivateKey | kSecretKey},
    {CKA_SIGN_RECOVER, Boolean, kPrivateKey},
    {CKA_UNWRAP, Boolean, kPrivateKey | kSecretKey},
    {CKA_UNWRAP_TEMPLATE, AttributeList, kPrivateKey | kSecretKey},
    {CKA_DERIVE_TEMPLATE, AttributeList, kPrivateKey | kSecretKey},
    {CKA_EXTRACTABLE, Boolean, kPrivateKey | kSecretKey},
    {CKA_ALWAYS_SENSITIVE, Boolean, kPrivateKey | kSecretKey},
    {CKA_NEVER_EXTRACTABLE, Boolean, kPrivateKey | kSecretKey},
    {CKA_WRAP_WITH_TRUSTED, Boolean, kPrivateKey | kSecretKey},
    {CKA_ALWAYS_AUTHENTICATE, Boolean, kPrivateKey},
    {CKA_VALUE_LEN, Number, kSecretKey, kSecretKey},
    // Key-type attributes.
    {CKA_MODULUS, Bytes, kPublicKey | kPrivateKey, kPublicKey | kPrivateKey},
    {CKA_MODULUS_BITS, Number, kPublicKey},
    {CKA_PUBLIC_EXPONENT, Bytes, kPublicKey | kPrivateKey, kPublicKey | kPrivateKey},
    {CKA_PRIVATE_EXPONENT, Bytes, kPrivateKey},
    {CKA_PRIME_1, Bytes, kPrivateKey},
    {CKA_PRIME_2, Bytes, kPrivateKey},
    {CKA_EXPONENT_1, Bytes, kPrivateKey},
    {CKA_EXPONENT_2, Bytes, kPrivateKey},
    {CKA_COEFFICIENT, Bytes, kPrivateKey},
    {CKA_PRIME, Bytes, kPublicKey | kPrivateKey},
    {CKA_SUBPRIME, Bytes, kPublicKey | kPrivateKey},
    {CKA_BASE, Bytes, kPublicKey | kPrivateKey},
    {CKA_PRIME_BITS, Number, kPrivateKey},
    {CKA_SUB_PRIME_BITS, Number, kPrivateKey},
    {CKA_VALUE_BITS, Number, kPrivateKey},
    {CKA_EC_PARAMS, Bytes, kPublicKey | kPrivateKey, kPublicKey | kPrivateKey},
    {CKA_EC_POINT, Bytes, kPublicKey, kPublicKey},
    {CKA_GOSTR3410_PARAMS, Bytes, kPublicKey | kPrivateKey, kPublicKey | kPrivateKey},
    {CKA_GOSTR3411_PARAMS, Bytes, kPublicKey | kPrivateKey, kPublicKey | kPrivateKey},
    {CKA_GOST28147_PARAMS, Bytes, kKeys},
    // Classes the token never holds: only their value kinds matter.
    {CKA_HW_FEATURE_TYPE, Number, 0},
    {CKA_RESET_ON_INIT, Boolean, 0},
    {CKA_HAS_RESET, Boolean, 0},
    {CKA_PIXEL_X, Number, 0},
    {CKA_PIXEL_Y, Number, 0},
    {CKA_RESOLUTION, Number, 0},
    {CKA_CHAR_ROWS, Number, 0},
    {CKA_CHAR_COLUMNS, Number, 0},
    {CKA_COLOR, Boolean, 0},
    {CKA_BITS_PER_PIXEL, Number, 0},
    {CKA_MECHANISM_TYPE, Number, 0},
    {CKA_OTP_FORMAT, Number, 0},
    {CKA_OTP_LENGTH, Number, 0},
    {CKA_OTP_TIME_INTERVAL, Number, 0},
    {CKA_OTP_USER_FRIENDLY_MODE, Boolean, 0},
    {CKA_OTP_CHALLENGE_REQUIREMENT, Number, 0},
    {CKA_OTP_TIME_REQUIREMENT, Number, 0},
    {CKA_OTP_COUNTER_REQUIREMENT, Number, 0},
    {CKA_OTP_PIN_REQUIREMENT, Number, 0},
};

const AttributeType* find(ck_attribute_type_t type) {
    for (const AttributeType& row : kTypes)
        if (row.type == type) return &row;
    return nullptr;
}

uint8_t classBit(unsigned long objectClass) {
    switch (objectClass) {
        case CKO_DATA: return kData;
        case CKO_CERTIFICATE: return kCertificate;
        case CKO_PUBLIC_KEY: return kPublicKey;
        case CKO_PRIVATE_KEY: return kPrivateKey;
        case CKO_SECRET_KEY: return kSecretKey;
        default: return 0;
    }
}

}  // namespace

ValueKind valueKind(ck_attribute_type_t type) {
    const AttributeType* row = find(type);
    return row == nullptr ? ValueKind::Bytes : row->kind;
}

std::span<const ck_attribute_type_t> namingAttributes(unsigned long objectClass) {
    static const auto lists = [] {
        std::array<std::vector<ck_attribute_type_t>, 5> byClass;
        for (size_t bit = 0; bit < byClass.size(); ++bit)
            for (const AttributeType& row : kTypes)
                if ((row.names & (1u << bit)) != 0) byClass[bit].push_back(row.type);
        return byClass;
    }();
    const uint8_t bit = classBit(objectClass);
    if (bit == 0) return {};
    return lists[static_cast<size_t>(std::countr_zero(bit))];
}

bool classHas(unsigned long objectClass, ck_attribute_type_t type) {
    const uint8_t bit = classBit(objectClass);
    if (bit == 0 || (type & CKA_VENDOR_DEFINED) != 0) return true;
    const AttributeType* row = find(type);
    return row != nullptr && (row->classes & bit) != 0;
}

}  // namespace korva::host
