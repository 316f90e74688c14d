#include "keys/key_wrap.h"

#include "ciphers/gost28147.h"
#include "keys/key_demands.h"

#include "card/card_context.h"
#include "card/select.h"
#include "common/output_length.h"
#include "common/wiped_bytes.h"
#include "objects/attribute_record.h"
#include "objects/create_object.h"
#include "objects/directory_files.h"
#include "objects/layout.h"
#include "objects/object_bodies.h"
#include "objects/template_record.h"
#include "session/mechanisms.h"
#include "session/pin.h"

#include <korva/pkcs11_constants.h>

#include <openssl/crypto.h>

#include <array>
#include <optional>

namespace korva::keys {
namespace {

using abi::CK_RV;
using ciphers::GostDirection;
using ciphers::gostEcb;
using ciphers::gostMac32;
using ciphers::kGostBlockBytes;
using ciphers::kGostKeyBytes;
using ciphers::kGostMacBytes;
using objects::TemplateResult;

constexpr uint16_t kSecretKeyDirectory = objects::directoryOf(objects::ObjectClass::SecretKey);
constexpr std::array<uint32_t, 1> kGostCipherKey = {abi::CKK_GOST28147};
constexpr KeyDemand kWrappingKey = {kSecretKeyDirectory, abi::CKA_WRAP, true, kGostCipherKey};
constexpr KeyDemand kKeyToWrap = {kSecretKeyDirectory, abi::CKA_EXTRACTABLE, false, kGostCipherKey};
constexpr KeyDemand kUnwrappingKey = {kSecretKeyDirectory, abi::CKA_UNWRAP, true, kGostCipherKey};

// A GOST 28147-89 key's body 63 nn: the card's parameter code, then the key.
constexpr std::size_t kBodyLength = 1 + kGostKeyBytes;

// The key and the code its body names, wiped when it goes.
struct GostKey {
    std::array<uint8_t, kGostKeyBytes> value{};
    uint8_t bodyCode = 0;
    objects::KeyRecord record;
    ~GostKey() { OPENSSL_cleanse(value.data(), value.size()); }
};

// The mechanism and its optional UKM, which must be 8 bytes when given.
CK_RV readMechanism(const abi::CK_MECHANISM& mechanism, std::span<const uint8_t>& ukm) noexcept {
    if (mechanism.mechanism != abi::CKM_GOST28147_KEY_WRAP) return abi::CKR_MECHANISM_INVALID;
    if (mechanism.pParameter == nullptr) return abi::CKR_OK;
    if (mechanism.ulParameterLen != kGostBlockBytes) return abi::CKR_MECHANISM_PARAM_INVALID;
    ukm = {static_cast<const uint8_t*>(mechanism.pParameter), kGostBlockBytes};
    return abi::CKR_OK;
}

// With the application subdirectory current: the key's body 63 nn gives
// the key and its parameter code.
CK_RV readGostKeyBody(CardContext& context, const abi::ObjectHandle& handle, GostKey& key) noexcept {
    WipedBytes body;
    if (objects::readFixedBody(context, objects::ownBodyOf(objects::ObjectClass::SecretKey, handle.record), kBodyLength,
                               body) != result::kOk ||
        body.size() != kBodyLength) {
        return abi::CKR_FUNCTION_FAILED;
    }
    key.bodyCode = body[0];
    std::copy(body.begin() + 1, body.end(), key.value.begin());
    return abi::CKR_OK;
}

// With the user's PIN presented and the application subdirectory current:
// the key's record passes the demand, and its body gives the key.
CK_RV loadGostKey(CardContext& context, const abi::ObjectHandle& handle, const KeyDemand& demand,
                  GostKey& key) noexcept {
    if (const CK_RV rv = loadDemandedKey(context, handle, demand, key.record); rv != abi::CKR_OK) return rv;
    return readGostKeyBody(context, handle, key);
}

// The card's code of the parameter set the key's record names.
std::optional<uint8_t> recordedParameterCode(const objects::KeyRecord& record) noexcept {
    const objects::RecordLookup found = objects::findInRecord(record.view(), abi::CKA_GOST28147_PARAMS);
    if (found.result != objects::LookupResult::Found) return std::nullopt;
    return token::matchParameterSet(token::parameter_kind::kCipher, found.value);
}

// The unwrapped key's list: the template's attributes, then the three the
// unwrapping decides, which replace whatever the template said of them.
CK_RV buildUnwrappedList(std::span<const abi::CK_ATTRIBUTE> tmpl, std::span<const uint8_t> value,
                         objects::TemplateRecord& list) noexcept {
    if (list.fill(tmpl) != TemplateResult::Ok) return abi::CKR_FUNCTION_FAILED;
    for (const uint32_t type : {abi::CKA_LOCAL, abi::CKA_KEY_TYPE, abi::CKA_VALUE}) list.removeAll(type);
    // A key object without its value must never be made: no room is a
    // refusal, not an omission.
    if (list.appendBoolean(abi::CKA_LOCAL, false) != TemplateResult::Ok ||
        list.appendNumber(abi::CKA_KEY_TYPE, abi::CKK_GOST28147) != TemplateResult::Ok ||
        list.appendBytes(abi::CKA_VALUE, value) != TemplateResult::Ok) {
        return abi::CKR_VENDOR_ATTRIBUTE_LIST_FULL;
    }
    return abi::CKR_OK;
}

}  // namespace

CK_RV wrapKey(const abi::HostContext& host, const abi::LoginRecord* login, const abi::CK_MECHANISM* mechanism,
              const abi::ObjectHandle* wrappingKey, const abi::ObjectHandle* key, uint8_t* output,
              abi::CK_ULONG* outputLength) {
    if (mechanism == nullptr || wrappingKey == nullptr || key == nullptr || outputLength == nullptr) {
        return abi::CKR_FUNCTION_FAILED;
    }
    if (const OutputRoom room = claimOutput(output, *outputLength, kWrappedKeyLength); room != OutputRoom::kFits) {
        return outputRoomRv<CK_RV>(room);
    }
    std::span<const uint8_t> ukm;
    if (const CK_RV rv = readMechanism(*mechanism, ukm); rv != abi::CKR_OK) return rv;

    CardContext context(host);
    if (card::selectApplicationSubdirectory(context) != result::kOk ||
        token::loginWith(context, login) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    GostKey wrapping, wrapped;
    if (const CK_RV rv = loadGostKey(context, *wrappingKey, kWrappingKey, wrapping); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = loadGostKey(context, *key, kKeyToWrap, wrapped); rv != abi::CKR_OK) return rv;
    const std::span<uint8_t> out(output, kWrappedKeyLength);
    if (!gostMac32(ukm, wrapping.bodyCode, wrapping.value, wrapped.value,
                   out.subspan<kGostKeyBytes, kGostMacBytes>()) ||
        !gostEcb(wrapping.bodyCode, wrapping.value, wrapped.value, out.first(kGostKeyBytes), GostDirection::kEncrypt)) {
        OPENSSL_cleanse(output, kWrappedKeyLength);
        return abi::CKR_FUNCTION_FAILED;
    }
    *outputLength = kWrappedKeyLength;
    return abi::CKR_OK;
}

CK_RV unwrapKey(const abi::HostContext& host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* unwrappingKey, const uint8_t* wrappedKey,
                abi::CK_ULONG wrappedKeyLength, const abi::CK_ATTRIBUTE* tmpl, abi::CK_ULONG count,
                abi::ObjectHandle* handle, abi::ObjectSummary* summary) {
    if (wrappedKeyLength != kWrappedKeyLength) return abi::CKR_FUNCTION_NOT_SUPPORTED;
    if (mechanism == nullptr || wrappedKey == nullptr || unwrappingKey == nullptr || handle == nullptr ||
        (tmpl == nullptr && count != 0)) {
        return abi::CKR_ARGUMENTS_BAD;
    }
    std::span<const uint8_t> ukm;
    if (const CK_RV rv = readMechanism(*mechanism, ukm); rv != abi::CKR_OK) return rv;

    objects::TemplateRecord list;
    {
        CardContext context(host);
        GostKey unwrapping;
        // The key is judged before the login step, which spends a PIN try.
        if (const CK_RV rv = selectAndLoadDemandedKey(context, *unwrappingKey, kUnwrappingKey, unwrapping.record);
            rv != abi::CKR_OK) {
            return rv;
        }
        if (token::loginWith(context, login) != result::kOk) return abi::CKR_FUNCTION_FAILED;
        const std::optional<uint8_t> code = recordedParameterCode(unwrapping.record);
        if (!code) return abi::CKR_FUNCTION_FAILED;
        if (const CK_RV rv = readGostKeyBody(context, *unwrappingKey, unwrapping); rv != abi::CKR_OK) return rv;

        const std::span<const uint8_t, kWrappedKeyLength> wrapped(wrappedKey, kWrappedKeyLength);
        std::array<uint8_t, kGostKeyBytes> plain{};
        std::array<uint8_t, kGostMacBytes> mac{};
        const bool computed =
            gostEcb(*code, unwrapping.value, wrapped.first<kGostKeyBytes>(), plain, GostDirection::kDecrypt) &&
            gostMac32(ukm, *code, unwrapping.value, plain, mac);
        CK_RV rv = abi::CKR_FUNCTION_FAILED;
        if (computed) {
            rv = CRYPTO_memcmp(mac.data(), wrapped.subspan<kGostKeyBytes>().data(), kGostMacBytes) == 0
                     ? buildUnwrappedList({tmpl, count}, plain, list)
                     : abi::CKR_SIGNATURE_INVALID;
        }
        OPENSSL_cleanse(plain.data(), plain.size());
        if (rv != abi::CKR_OK) return rv;
    }
    return objects::createBuiltObject(host, login, settings, list.entries(), handle, summary);
}

}  // namespace korva::keys
