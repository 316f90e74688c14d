#include "keys/secret_key_generation.h"

#include "card/security_ops.h"
#include "common/wiped_bytes.h"
#include "objects/create_object.h"
#include "objects/template_record.h"

#include "card/card_context.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace korva::keys {
namespace {

using abi::CK_ATTRIBUTE;
using abi::CK_RV;
using objects::TemplateLookup;
using objects::TemplateRecord;
using objects::TemplateResult;

struct SecretKeyMechanism {
    uint32_t mechanism;
    uint32_t keyType;
    uint32_t keyLength;  // 0: the template's CKA_VALUE_LEN decides
    bool oddParity;
};

constexpr std::array<SecretKeyMechanism, 3> kMechanisms = {{
    {abi::CKM_DES_KEY_GEN, abi::CKK_DES, 8, true},
    {abi::CKM_DES2_KEY_GEN, abi::CKK_DES2, 16, true},
    {abi::CKM_AES_KEY_GEN, abi::CKK_AES, 0, false},
}};

// The card hands out random numbers 8 bytes at a time; 32 cover the longest
// key.
constexpr std::size_t kRandomBytes = 32;

const SecretKeyMechanism* findMechanism(uint32_t type) noexcept {
    const auto row = std::ranges::find(kMechanisms, type, &SecretKeyMechanism::mechanism);
    return row == kMechanisms.end() ? nullptr : &*row;
}

bool isAesKeyLength(uint32_t length) noexcept { return length == 16 || length == 24 || length == 32; }

// A 32-bit attribute of the host's template, before anything is copied:
// CKR_OK with its value, CKR_TEMPLATE_INCOMPLETE when absent, and
// CKR_ATTRIBUTE_VALUE_INVALID when it is not four readable bytes.
CK_RV requiredNumber(std::span<const CK_ATTRIBUTE> tmpl, uint32_t type, uint32_t& value) noexcept {
    const auto entry = std::ranges::find(tmpl, type, &CK_ATTRIBUTE::type);
    if (entry == tmpl.end()) return abi::CKR_TEMPLATE_INCOMPLETE;
    if (entry->pValue == nullptr || entry->ulValueLen != sizeof value) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    std::memcpy(&value, entry->pValue, sizeof value);
    return abi::CKR_OK;
}

// The class and the key length, checked on the host's template.
CK_RV checkRequest(std::span<const CK_ATTRIBUTE> tmpl, uint32_t mechanismType, const SecretKeyMechanism*& row,
                   uint32_t& keyLength) noexcept {
    uint32_t objectClass = 0;
    if (const CK_RV rv = requiredNumber(tmpl, abi::CKA_CLASS, objectClass); rv != abi::CKR_OK) return rv;
    if (objectClass != abi::CKO_SECRET_KEY) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    row = findMechanism(mechanismType);
    if (row == nullptr) return abi::CKR_MECHANISM_INVALID;
    keyLength = row->keyLength;
    if (keyLength != 0) return abi::CKR_OK;
    if (const CK_RV rv = requiredNumber(tmpl, abi::CKA_VALUE_LEN, keyLength); rv != abi::CKR_OK) return rv;
    return isAesKeyLength(keyLength) ? abi::CKR_OK : abi::CKR_ATTRIBUTE_VALUE_INVALID;
}

// The working list before the key goes in. The caller may not choose the
// value; an entry that only says "no value" (length 0xFFFFFFFF) is allowed
// and dropped, so that it cannot hide the value added later. A key type
// must be the mechanism's.
CK_RV prepareList(std::span<const CK_ATTRIBUTE> tmpl, const SecretKeyMechanism& row, TemplateRecord& list) noexcept {
    if (list.fill(tmpl) != TemplateResult::Ok) return abi::CKR_FUNCTION_FAILED;
    const auto givesValue = [](const CK_ATTRIBUTE& a) {
        return a.type == abi::CKA_VALUE && a.ulValueLen != abi::KORVA_UNAVAILABLE_LENGTH;
    };
    if (std::ranges::any_of(list.entries(), givesValue)) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    list.remove(abi::CKA_VALUE);
    uint32_t keyType = 0;
    switch (list.getNumber(abi::CKA_KEY_TYPE, keyType)) {
        case TemplateLookup::Found: return keyType == row.keyType ? abi::CKR_OK : abi::CKR_TEMPLATE_INCONSISTENT;
        case TemplateLookup::Absent:
            list.remove(abi::CKA_KEY_TYPE);
            return list.appendNumber(abi::CKA_KEY_TYPE, row.keyType) == TemplateResult::Ok ? abi::CKR_OK
                                                                                           : abi::CKR_FUNCTION_FAILED;
        default: return abi::CKR_FUNCTION_FAILED;
    }
}

}  // namespace

void setOddParity(std::span<uint8_t> key) noexcept {
    for (uint8_t& byte : key) {
        const bool upperOdd = (std::popcount(unsigned(byte >> 1)) & 1) != 0;
        byte = uint8_t((byte & 0xFE) | (upperOdd ? 0 : 1));
    }
}

CK_RV generateSecretKey(const abi::HostContext& host, const abi::LoginRecord* login,
                        const abi::HostByteVector* settings, const CK_ATTRIBUTE* tmpl, uint32_t count,
                        const abi::CK_MECHANISM* mechanism, abi::ObjectHandle* handle, abi::ObjectSummary* summary) {
    if (mechanism == nullptr || handle == nullptr || (tmpl == nullptr && count != 0)) return abi::CKR_ARGUMENTS_BAD;
    const std::span<const CK_ATTRIBUTE> hostTemplate(tmpl, count);
    const SecretKeyMechanism* row = nullptr;
    uint32_t keyLength = 0;
    if (const CK_RV rv = checkRequest(hostTemplate, mechanism->mechanism, row, keyLength); rv != abi::CKR_OK) {
        return rv;
    }
    TemplateRecord list;
    if (const CK_RV rv = prepareList(hostTemplate, *row, list); rv != abi::CKR_OK) return rv;

    // The card is the only source of key material: no software fallback.
    WipedBytes random(kRandomBytes);
    {
        CardContext context(host);
        if (card::getChallenge(context, random) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    }
    if (row->oddParity) setOddParity(random);
    list.remove(abi::CKA_VALUE_LEN);
    if (list.appendBytes(abi::CKA_VALUE, std::span(random).first(keyLength)) != TemplateResult::Ok) {
        return abi::CKR_FUNCTION_FAILED;
    }
    return objects::createBuiltObject(host, login, settings, list.entries(), handle, summary);
}

}  // namespace korva::keys
