#include "objects/body_writers.h"

#include "objects/directory_files.h"
#include "common/wiped_bytes.h"

#include "card/credentials.h"
#include "card/files.h"
#include "card/security_ops.h"
#include "card/select.h"
#include "card/templates.h"
#include "session/mechanisms.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>

namespace korva::objects {

namespace {

using abi::CK_RV;

constexpr uint8_t kUserAccess = 0x12;  // the user PIN
constexpr uint8_t kAlwaysAccess = 0x00;
constexpr uint8_t kUserPinAccess = 0x07;  // GOST 28147-89 key bodies name the PIN itself
constexpr uint32_t kSecurityOfficerOnCreation = 2;
constexpr std::size_t kRsaBytes = 128;
constexpr std::size_t kRsaPublicKeyAnswer = 136;  // 8-byte exponent, 128-byte modulus
constexpr std::size_t kEmptyDataBody = 1026;      // room for a later value of 1024 bytes
// Bodies are written with UPDATE BINARY, whose offsets stop below 0x8000.
constexpr std::size_t kLargestBody = card::kBinaryOffsetLimit;

// A byte value the template gives: absent (nullopt with `present` false),
// or its bytes. A non-empty value without bytes is invalid.
struct TemplateValue {
    bool present = false;
    bool valid = true;
    std::span<const uint8_t> bytes;
};

TemplateValue valueOf(const TemplateRecord& tmpl, uint32_t type) {
    TemplateValue value;
    switch (tmpl.viewBytes(type, value.bytes)) {
        case TemplateLookup::Found: value.present = true; break;
        case TemplateLookup::Absent: break;
        default:
            value.present = true;
            value.valid = false;
            break;
    }
    return value;
}

// The key type check every key body starts with.
CK_RV requireRsa(const TemplateRecord& tmpl) {
    uint32_t keyType = 0;
    switch (tmpl.getNumber(abi::CKA_KEY_TYPE, keyType)) {
        case TemplateLookup::Absent: return abi::CKR_TEMPLATE_INCOMPLETE;
        case TemplateLookup::Found: return keyType == abi::CKK_RSA ? abi::CKR_OK : abi::CKR_ATTRIBUTE_VALUE_INVALID;
        default: return abi::CKR_FUNCTION_FAILED;
    }
}

// The public exponents the card accepts, in the short form its key-material
// command takes: a big-endian number whose bytes before the last four are
// zero, equal to 3, 17 or 65537.
std::optional<std::span<const uint8_t>> cardExponent(std::span<const uint8_t> exponent) {
    static constexpr std::array<uint8_t, 1> k3{0x03};
    static constexpr std::array<uint8_t, 1> k17{0x11};
    static constexpr std::array<uint8_t, 3> k65537{0x01, 0x00, 0x01};
    if (exponent.empty()) return std::nullopt;
    const std::size_t high = exponent.size() > 4 ? exponent.size() - 4 : 0;
    if (std::any_of(exponent.begin(), exponent.begin() + long(high), [](uint8_t b) { return b != 0; })) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (std::size_t i = high; i < exponent.size(); ++i) value = value << 8 | exponent[i];
    if (value == 3) return k3;
    if (value == 17) return k17;
    if (value == 65537) return k65537;
    return std::nullopt;
}

// Writes `content` from offset 0 over a file of `size` bytes, zeros after it.
CardResult writeWholeFile(CardContext& context, std::span<const uint8_t> content, std::size_t size) {
    WipedBytes bytes(size, 0);
    std::copy(content.begin(), content.end(), bytes.begin());
    return card::updateBinary(context, 0, bytes);
}

// A length-prefixed body: 2-byte big-endian length, then the value.
WipedBytes prefixed(std::span<const uint8_t> value) {
    WipedBytes bytes;
    bytes.reserve(value.size() + 2);
    bytes.push_back(uint8_t(value.size() >> 8));
    bytes.push_back(uint8_t(value.size()));
    bytes.insert(bytes.end(), value.begin(), value.end());
    return bytes;
}

CK_RV writeDataBody(CardContext& context, const BodyRequest& request, const TemplateRecord& tmpl) {
    const TemplateValue value = valueOf(tmpl, abi::CKA_VALUE);
    if (!value.valid) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    if (value.bytes.size() + 2 > kLargestBody) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    const uint16_t body = ownBodyOf(ObjectClass::Data, request.record);
    const std::size_t size = value.bytes.empty() ? kEmptyDataBody : value.bytes.size() + 2;
    if (deleteIfPresent(context, body) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    const uint8_t readAccess = request.isPrivate ? kUserAccess : kAlwaysAccess;
    if (const CardResult rc = card::createTransparentFile(context, body, uint16_t(size),
                                                          card::TransparentProfile::kSecond, readAccess, kUserAccess);
        rc != result::kOk) {
        return creationToRv(rc);
    }
    return writeWholeFile(context, prefixed(value.bytes), size) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

CK_RV writeCertificateBody(CardContext& context, const BodyRequest& request, const TemplateRecord& tmpl) {
    if (card::selectCertificateDirectory(context) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    const TemplateValue value = valueOf(tmpl, abi::CKA_VALUE);
    if (!value.present) return abi::CKR_TEMPLATE_INCOMPLETE;
    if (!value.valid || value.bytes.empty() || value.bytes.size() + 3 > kLargestBody) {
        return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    }
    const uint16_t body = ownBodyOf(ObjectClass::Certificate, request.record);
    if (deleteIfPresent(context, body) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    const uint8_t readAccess = request.isPrivate ? kUserAccess : kAlwaysAccess;
    const uint8_t updateAccess = request.userType == kSecurityOfficerOnCreation ? kAlwaysAccess : kUserAccess;
    const std::size_t size = value.bytes.size() + 3;
    if (const CardResult rc = card::createTransparentFile(context, body, uint16_t(size),
                                                          card::TransparentProfile::kFirst, readAccess, updateAccess);
        rc != result::kOk) {
        return creationToRv(rc);
    }
    if (card::updateBinary(context, 0, prefixed(value.bytes)) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    return card::selectApplicationSubdirectory(context) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

CK_RV writePublicKeyBody(CardContext& context, const BodyRequest& request, const TemplateRecord& tmpl) {
    if (const CK_RV rv = requireRsa(tmpl); rv != abi::CKR_OK) return rv;
    const TemplateValue modulus = valueOf(tmpl, abi::CKA_MODULUS);
    if (!modulus.valid || modulus.bytes.size() != kRsaBytes) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    const TemplateValue exponent = valueOf(tmpl, abi::CKA_PUBLIC_EXPONENT);
    if (!exponent.present) return abi::CKR_TEMPLATE_INCOMPLETE;
    const auto shortExponent = exponent.valid ? cardExponent(exponent.bytes) : std::nullopt;
    if (!shortExponent) return abi::CKR_ATTRIBUTE_VALUE_INVALID;

    const uint16_t body = bodyFileId(kKeyPairBodyPrefix, request.record);
    const uint8_t reference = uint8_t(kKeyPairReferenceBase + request.record);
    if (deleteIfPresent(context, body) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (const CardResult rc =
            card::createKeyFile(context, body, card::KeyFileFirstForm{card::kRsaKeyFileKind, reference, 0, 0});
        rc != result::kOk) {
        return creationToRv(rc);
    }
    return card::loadKey(context, reference, *shortExponent, modulus.bytes) == result::kOk ? abi::CKR_OK
                                                                                           : abi::CKR_FUNCTION_FAILED;
}

// The private exponent also goes to the transparent file E1 mm, from which
// the module deciphers in software, unless the key may not decipher.
CK_RV writePrivateExponentFile(CardContext& context, uint16_t keyFile, std::span<const uint8_t> privateExponent) {
    const uint16_t file = uint16_t(keyFile | kPrivateExponentFileBit);
    const CardResult deleted = deleteIfPresent(context, file);
    if (deleted == result::kSecurity) return abi::CKR_USER_NOT_LOGGED_IN;
    if (deleted != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (const CardResult rc = card::createTransparentFile(context, file, uint16_t(kRsaBytes),
                                                          card::TransparentProfile::kSecond, kUserAccess, kUserAccess);
        rc != result::kOk) {
        return creationToRv(rc);
    }
    return card::updateBinary(context, 0, privateExponent) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

// Makes the public key's key file again in its public form, after making it
// with both halves failed: the public key must not be left without its card
// file. `publicForm` is what READ PUBLIC KEY answered before the delete, the
// card's 8-byte exponent field then the modulus, loaded back as it was. Best
// effort: the caller is already reporting a failure.
void restorePublicKeyFile(CardContext& context, uint16_t keyFile, uint8_t reference,
                          std::span<const uint8_t> publicForm) {
    // A key load whose last part went astray leaves the card waiting for it:
    // the card refuses the next command, which ends the chain, and a second
    // try reaches it.
    if (deleteIfPresent(context, keyFile) != result::kOk && deleteIfPresent(context, keyFile) != result::kOk) return;
    if (card::createKeyFile(context, keyFile, card::KeyFileFirstForm{card::kRsaKeyFileKind, reference, 0, 0}) !=
        result::kOk) {
        return;
    }
    (void)card::loadKey(context, reference, publicForm.first(8), publicForm.subspan(8, kRsaBytes));
}

CK_RV writePrivateKeyBody(CardContext& context, const BodyRequest& request, const TemplateRecord& tmpl) {
    static constexpr std::array<uint8_t, 3> kDefaultExponent{0x01, 0x00, 0x01};
    if (const CK_RV rv = requireRsa(tmpl); rv != abi::CKR_OK) return rv;
    const TemplateValue privateExponent = valueOf(tmpl, abi::CKA_PRIVATE_EXPONENT);
    if (!privateExponent.valid || privateExponent.bytes.size() != kRsaBytes) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    const TemplateValue given = valueOf(tmpl, abi::CKA_PUBLIC_EXPONENT);
    const std::span<const uint8_t> exponent = given.present ? given.bytes : std::span<const uint8_t>(kDefaultExponent);
    const auto shortExponent = given.valid ? cardExponent(exponent) : std::nullopt;
    if (!shortExponent) return abi::CKR_ATTRIBUTE_VALUE_INVALID;

    // The key pair's key object holds the public key already: keep its
    // modulus, then make the object again with the private half loaded.
    const uint16_t keyFile = bodyFileId(kKeyPairBodyPrefix, request.keyPairRecord);
    const uint8_t reference = uint8_t(kKeyPairReferenceBase + request.keyPairRecord);
    if (card::selectFile(context, keyFile) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    std::array<uint8_t, 256> publicKey{};
    std::size_t length = 0;
    if (card::readPublicKey(context, 0, publicKey, length) != result::kOk || length != kRsaPublicKeyAnswer) {
        return abi::CKR_FUNCTION_FAILED;
    }
    const std::span<const uint8_t> publicForm(publicKey.data(), kRsaPublicKeyAnswer);
    if (card::deleteFile(context, keyFile) != result::kOk) {
        // A delete whose answer was lost may still have happened.
        if (card::selectFile(context, keyFile) == result::kNotFound) {
            restorePublicKeyFile(context, keyFile, reference, publicForm);
        }
        return abi::CKR_FUNCTION_FAILED;
    }
    if (const CardResult rc =
            card::createKeyFile(context, keyFile, card::KeyFileFirstForm{card::kRsaKeyFileKind, reference, 0, 1});
        rc != result::kOk) {
        restorePublicKeyFile(context, keyFile, reference, publicForm);
        return creationToRv(rc);
    }
    const std::span<const uint8_t> modulus = publicForm.subspan(8, kRsaBytes);
    if (card::loadKeyPair(context, reference, *shortExponent, modulus, privateExponent.bytes) != result::kOk) {
        restorePublicKeyFile(context, keyFile, reference, publicForm);
        return abi::CKR_FUNCTION_FAILED;
    }
    bool mayDecrypt = true;
    if (tmpl.getBoolean(abi::CKA_DECRYPT, mayDecrypt) != TemplateLookup::Found) mayDecrypt = true;
    if (!mayDecrypt) return abi::CKR_OK;
    return writePrivateExponentFile(context, keyFile, privateExponent.bytes);
}

// How the card keeps a secret key of each type in its key object.
struct SecretKeyForm {
    uint8_t algorithm;  // tag 85 of the key file
    uint8_t variant;    // tag 8F
};

std::optional<SecretKeyForm> keyObjectForm(uint32_t keyType, std::size_t length, CK_RV& refusal) {
    refusal = abi::CKR_TEMPLATE_INCONSISTENT;
    switch (keyType) {
        case abi::CKK_DES:
            if (length == 8) return SecretKeyForm{0x02, 0x00};
            return std::nullopt;
        case abi::CKK_DES2:
            if (length == 16) return SecretKeyForm{0x03, 0x00};
            return std::nullopt;
        case abi::CKK_AES:
            if (length == 16) return SecretKeyForm{0x04, 0x00};
            if (length == 24) return SecretKeyForm{0x04, 0x01};
            if (length == 32) return SecretKeyForm{0x04, 0x02};
            return std::nullopt;
        default: refusal = abi::CKR_ATTRIBUTE_VALUE_INVALID; return std::nullopt;
    }
}

CK_RV writeGostSecretBody(CardContext& context, uint16_t body, const TemplateRecord& tmpl,
                          std::span<const uint8_t> key) {
    constexpr std::size_t kGostKey = 32;
    if (key.size() != kGostKey) return abi::CKR_TEMPLATE_INCONSISTENT;
    const TemplateValue parameters = valueOf(tmpl, abi::CKA_GOST28147_PARAMS);
    if (!parameters.present) return abi::CKR_TEMPLATE_INCOMPLETE;
    const std::optional<uint8_t> code =
        parameters.valid ? token::matchParameterSet(token::parameter_kind::kCipher, parameters.bytes) : std::nullopt;
    if (!code) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    if (deleteIfPresent(context, body) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (const CardResult rc = card::createTransparentFile(
            context, body, uint16_t(1 + kGostKey), card::TransparentProfile::kSecond, kUserPinAccess, kUserPinAccess);
        rc != result::kOk) {
        return creationToRv(rc);
    }
    WipedBytes content(1 + kGostKey);
    content[0] = *code;
    std::copy(key.begin(), key.end(), content.begin() + 1);
    return card::updateBinary(context, 0, content) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

CK_RV writeSecretKeyBody(CardContext& context, const BodyRequest& request, const TemplateRecord& tmpl) {
    const TemplateValue value = valueOf(tmpl, abi::CKA_VALUE);
    if (!value.present) return abi::CKR_TEMPLATE_INCOMPLETE;
    if (!value.valid || value.bytes.empty()) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    uint32_t keyType = 0;
    if (tmpl.getNumber(abi::CKA_KEY_TYPE, keyType) != TemplateLookup::Found) return abi::CKR_FUNCTION_FAILED;
    const uint16_t body = ownBodyOf(ObjectClass::SecretKey, request.record);
    if (keyType == abi::CKK_GOST28147) return writeGostSecretBody(context, body, tmpl, value.bytes);

    CK_RV refusal = abi::CKR_OK;
    const std::optional<SecretKeyForm> form = keyObjectForm(keyType, value.bytes.size(), refusal);
    if (!form) return refusal;
    const uint8_t reference = uint8_t(kSecretKeyReferenceBase + request.record);
    if (deleteIfPresent(context, body) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (const CardResult rc =
            card::createKeyFile(context, body, card::KeyFileSecondForm{form->algorithm, reference, form->variant});
        rc != result::kOk) {
        return creationToRv(rc);
    }
    return card::loadKey(context, reference, {}, value.bytes) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

}  // namespace

CK_RV writeBody(CardContext& context, const BodyRequest& request, const TemplateRecord& tmpl) {
    try {
        switch (request.objectClass) {
            case ObjectClass::Data: return writeDataBody(context, request, tmpl);
            case ObjectClass::Certificate: return writeCertificateBody(context, request, tmpl);
            case ObjectClass::PublicKey: return writePublicKeyBody(context, request, tmpl);
            case ObjectClass::PrivateKey: return writePrivateKeyBody(context, request, tmpl);
            case ObjectClass::SecretKey: return writeSecretKeyBody(context, request, tmpl);
        }
        return abi::CKR_FUNCTION_FAILED;
    } catch (const std::bad_alloc&) {
        return abi::CKR_HOST_MEMORY;
    }
}

}  // namespace korva::objects
