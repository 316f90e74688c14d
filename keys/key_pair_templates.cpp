#include "keys/key_pair_templates.h"

#include "session/mechanisms.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <optional>

namespace korva::keys {
namespace {

using objects::TemplateLookup;
using objects::TemplateRecord;
using objects::TemplateResult;

constexpr uint32_t kUnavailable = abi::KORVA_UNAVAILABLE_LENGTH;

constexpr std::array<KeyPairMechanism, 3> kKeyPairMechanisms = {{
    {abi::CKM_RSA_PKCS_KEY_PAIR_GEN, objects::KeyFamily::Rsa, abi::CKK_RSA},
    {abi::CKM_GOSTR3410_KEY_PAIR_GEN, objects::KeyFamily::Gost, abi::CKK_GOSTR3410},
    {abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, objects::KeyFamily::Gost, abi::CKK_GOSTR3410_512},
}};

// The card's curve codes of the 512-bit parameter sets; every other code
// it knows names a 256-bit curve.
constexpr bool isWideCurve(uint8_t curveCode) noexcept { return curveCode >= 9 && curveCode <= 11; }

// The first entry of `type` in a host template.
const CK_ATTRIBUTE* findInTemplate(std::span<const CK_ATTRIBUTE> tmpl, uint32_t type) noexcept {
    const auto found = std::find_if(tmpl.begin(), tmpl.end(), [type](const CK_ATTRIBUTE& a) { return a.type == type; });
    return found == tmpl.end() ? nullptr : &*found;
}

// A parameter-set identifier as stored: exactly one DER object identifier,
// nothing after it, so that every reader of the record sees the same one.
std::optional<uint8_t> matchWholeIdentifier(uint32_t kind, std::span<const uint8_t> der) noexcept {
    if (der.size() < 2 || der[1] != der.size() - 2) return std::nullopt;
    return token::matchParameterSet(kind, der);
}

// The parameter set `type` of the public list: the default added to both
// lists when the public template gives none (absent or empty), else the
// public template's own value. `value` stays valid while the lists do not
// change.
CK_RV settleParameterSet(KeyPairLists& lists, uint32_t type, std::span<const uint8_t> fallback,
                         std::span<const uint8_t>& value) noexcept {
    const TemplateLookup found = lists.publicKey.viewBytes(type, value);
    if (found == TemplateLookup::Found && !value.empty()) return abi::CKR_OK;
    if (found == TemplateLookup::WrongLength) return abi::CKR_FUNCTION_FAILED;
    for (TemplateRecord* list : {&lists.publicKey, &lists.privateKey}) {
        list->removeAll(type);
        if (const CK_RV rv = listResult(list->appendBytes(type, fallback)); rv != abi::CKR_OK) return rv;
    }
    value = fallback;
    return abi::CKR_OK;
}

// The identifier that decides a list's pairing: its first CKA_ID entry,
// unless that entry says "no value" (length 0xFFFFFFFF).
const CK_ATTRIBUTE* firstId(const TemplateRecord& list) noexcept {
    const CK_ATTRIBUTE* id = list.find(abi::CKA_ID);
    return id != nullptr && id->ulValueLen != kUnavailable ? id : nullptr;
}

// Same length and bytes; a length without bytes cannot be compared, let
// alone stored.
bool sameId(const CK_ATTRIBUTE& a, const CK_ATTRIBUTE& b) noexcept {
    if (a.ulValueLen != b.ulValueLen || a.ulValueLen == kUnavailable) return false;
    if (a.ulValueLen == 0) return true;
    if (a.pValue == nullptr || b.pValue == nullptr) return false;
    const auto* bytes = static_cast<const uint8_t*>(a.pValue);
    return std::equal(bytes, bytes + a.ulValueLen, static_cast<const uint8_t*>(b.pValue));
}

}  // namespace

const KeyPairMechanism* findKeyPairMechanism(uint32_t mechanism) noexcept {
    for (const KeyPairMechanism& row : kKeyPairMechanisms)
        if (row.mechanism == mechanism) return &row;
    return nullptr;
}

CK_RV listResult(TemplateResult result) noexcept {
    switch (result) {
        case TemplateResult::Ok: return abi::CKR_OK;
        case TemplateResult::OutOfMemory: return abi::CKR_HOST_MEMORY;
        case TemplateResult::TooMany: break;
    }
    return abi::CKR_FUNCTION_FAILED;
}

CK_RV copyTemplates(std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                    KeyPairLists& lists) noexcept {
    if (const CK_RV rv = listResult(lists.publicKey.fill(publicTemplate)); rv != abi::CKR_OK) return rv;
    return listResult(lists.privateKey.fill(privateTemplate));
}

CK_RV pairKeyIds(KeyPairLists& lists) noexcept {
    const CK_ATTRIBUTE* publicId = firstId(lists.publicKey);
    const CK_ATTRIBUTE* privateId = firstId(lists.privateKey);

    if (publicId == nullptr && privateId == nullptr) {
        for (TemplateRecord* list : {&lists.publicKey, &lists.privateKey}) {
            const bool saidNoValue = list->find(abi::CKA_ID) != nullptr;
            const TemplateResult added = list->appendBytes(abi::CKA_ID, {});
            if (added == TemplateResult::TooMany) return abi::CKR_VENDOR_ATTRIBUTE_LIST_FULL;
            if (added != TemplateResult::Ok) return listResult(added);
            // A first entry that only said "no value" goes, so that the
            // records and the container map see the empty identifier, or an
            // identifier given after that entry...
            if (saidNoValue) list->remove(abi::CKA_ID);
        }
        // ...which the other half must then carry too.
        return sameId(*lists.publicKey.find(abi::CKA_ID), *lists.privateKey.find(abi::CKA_ID))
                   ? abi::CKR_OK
                   : abi::CKR_ATTRIBUTE_VALUE_INVALID;
    }
    // An empty identifier given by the host cannot pair: checked before a
    // missing one, as either half may carry it.
    for (const CK_ATTRIBUTE* id : {publicId, privateId})
        if (id != nullptr && id->ulValueLen == 0) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    if (publicId == nullptr || privateId == nullptr) return abi::CKR_TEMPLATE_INCOMPLETE;
    return sameId(*publicId, *privateId) ? abi::CKR_OK : abi::CKR_ATTRIBUTE_VALUE_INVALID;
}

CK_RV setKeyType(KeyPairLists& lists, uint32_t keyType) noexcept {
    for (TemplateRecord* list : {&lists.publicKey, &lists.privateKey}) {
        uint32_t given = 0;
        const TemplateLookup found = list->getNumber(abi::CKA_KEY_TYPE, given);
        if (found == TemplateLookup::WrongLength || (found == TemplateLookup::Found && given != keyType)) {
            return abi::CKR_TEMPLATE_INCONSISTENT;
        }
        list->removeAll(abi::CKA_KEY_TYPE);
        if (const CK_RV rv = listResult(list->appendNumber(abi::CKA_KEY_TYPE, keyType)); rv != abi::CKR_OK) return rv;
    }
    return abi::CKR_OK;
}

CK_RV setKeyReference(KeyPairLists& lists, uint8_t reference) noexcept {
    dropKeyReference(lists);
    const std::array<uint8_t, 1> value = {reference};
    for (TemplateRecord* list : {&lists.publicKey, &lists.privateKey}) {
        if (const CK_RV rv = listResult(list->appendBytes(abi::CKA_VENDOR_KEY_REFERENCE, value)); rv != abi::CKR_OK) {
            return rv;
        }
    }
    return abi::CKR_OK;
}

void dropKeyReference(KeyPairLists& lists) noexcept {
    lists.publicKey.removeAll(abi::CKA_VENDOR_KEY_REFERENCE);
    lists.privateKey.removeAll(abi::CKA_VENDOR_KEY_REFERENCE);
}

CK_RV readPrivateFlags(const KeyPairLists& lists, PrivateFlags& flags) noexcept {
    if (lists.publicKey.getBoolean(abi::CKA_PRIVATE, flags.publicKey) == TemplateLookup::WrongLength ||
        lists.privateKey.getBoolean(abi::CKA_PRIVATE, flags.privateKey) == TemplateLookup::WrongLength) {
        return abi::CKR_FUNCTION_FAILED;
    }
    return abi::CKR_OK;
}

CK_RV chooseGostParameters(KeyPairLists& lists, const KeyPairMechanism& mechanism, GostChoice& choice) noexcept {
    const bool wide = mechanism.keyType == abi::CKK_GOSTR3410_512;
    choice.keyType = mechanism.keyType;

    std::span<const uint8_t> curve;
    CK_RV rv = settleParameterSet(lists, abi::CKA_GOSTR3410_PARAMS,
                                  wide ? std::span<const uint8_t>(kTc26Curve512A) : kCryptoProCurveA, curve);
    if (rv != abi::CKR_OK) return rv;
    const std::optional<uint8_t> curveCode = matchWholeIdentifier(token::parameter_kind::kPublicKey, curve);
    // A curve of the other size would give a key the record misnames.
    if (!curveCode || isWideCurve(*curveCode) != wide) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    choice.curveCode = *curveCode;

    std::span<const uint8_t> digest;
    rv = settleParameterSet(lists, abi::CKA_GOSTR3411_PARAMS,
                            wide ? std::span<const uint8_t>(kStreebog512) : kStreebog256, digest);
    if (rv != abi::CKR_OK) return rv;
    const std::optional<uint8_t> digestCode = matchWholeIdentifier(token::parameter_kind::kDigest, digest);
    if (!digestCode) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    choice.hash2012 = *digestCode != kDigestCodeGost94;

    return setKeyType(lists, mechanism.keyType);
}

CK_RV checkRsaPublicTemplate(std::span<const CK_ATTRIBUTE> publicTemplate, uint32_t& exponent) noexcept {
    const CK_ATTRIBUTE* bits = findInTemplate(publicTemplate, abi::CKA_MODULUS_BITS);
    if (bits == nullptr || bits->ulValueLen != sizeof(uint32_t) || bits->pValue == nullptr) {
        return abi::CKR_TEMPLATE_INCOMPLETE;
    }
    uint32_t modulusBits = 0;
    std::copy_n(static_cast<const uint8_t*>(bits->pValue), sizeof modulusBits,
                reinterpret_cast<uint8_t*>(&modulusBits));
    if (modulusBits != kRsaModulusBits) return abi::CKR_ATTRIBUTE_VALUE_INVALID;

    exponent = kDefaultRsaExponent;
    const CK_ATTRIBUTE* given = findInTemplate(publicTemplate, abi::CKA_PUBLIC_EXPONENT);
    if (given == nullptr || given->ulValueLen == kUnavailable) return abi::CKR_OK;
    if (given->ulValueLen == 0) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    if (given->pValue == nullptr) return abi::CKR_FUNCTION_FAILED;
    const std::span bytes(static_cast<const uint8_t*>(given->pValue), given->ulValueLen);
    const std::size_t leading = bytes.size() > 4 ? bytes.size() - 4 : 0;
    if (!std::all_of(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(leading),
                     [](uint8_t b) { return b == 0; })) {
        return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    }
    uint32_t value = 0;
    for (std::size_t i = leading; i < bytes.size(); ++i) value = value << 8 | bytes[i];
    if (value != 3 && value != 17 && value != 65537) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    exponent = value;
    return abi::CKR_OK;
}

CK_RV prepareRsaLists(KeyPairLists& lists) noexcept {
    if (const CK_RV rv = setKeyType(lists, abi::CKK_RSA); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = pairKeyIds(lists); rv != abi::CKR_OK) return rv;
    dropKeyReference(lists);
    lists.privateKey.removeAll(abi::CKA_MODULUS_BITS);
    return listResult(lists.privateKey.appendNumber(abi::CKA_MODULUS_BITS, kRsaModulusBits));
}

bool rsaMayDecrypt(const KeyPairLists& lists) noexcept {
    bool mayEncrypt = true;
    bool mayDecrypt = true;
    if (lists.publicKey.getBoolean(abi::CKA_ENCRYPT, mayEncrypt) != TemplateLookup::Found) mayEncrypt = true;
    if (lists.privateKey.getBoolean(abi::CKA_DECRYPT, mayDecrypt) != TemplateLookup::Found) mayDecrypt = true;
    return mayEncrypt || mayDecrypt;
}

}  // namespace korva::keys
