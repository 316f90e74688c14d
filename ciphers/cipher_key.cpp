#include "ciphers/cipher_key.h"

#include "card/select.h"
#include "objects/layout.h"
#include "objects/session_table.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <cstring>

namespace korva::ciphers {
namespace {

using namespace korva::abi;

bool classServes(objects::ObjectClass objectClass, CipherDirection direction) noexcept {
    if (objectClass == objects::ObjectClass::SecretKey) return true;
    return objectClass == (direction == CipherDirection::kEncrypt ? objects::ObjectClass::PublicKey
                                                                  : objects::ObjectClass::PrivateKey);
}

CK_RV checkSessionKey(const HostContext& host, const ObjectHandle& handle, const CipherMechanism& mechanism,
                      CipherDirection direction) noexcept {
    const SessionObject* object = sessionSecretKey(host, handle);
    if (object == nullptr) return CKR_FUNCTION_FAILED;
    const auto keyType = sessionAttribute(*object, CKA_KEY_TYPE);
    if (!keyType || keyType->size() != sizeof(uint32_t)) return CKR_FUNCTION_FAILED;
    uint32_t type = 0;
    std::memcpy(&type, keyType->data(), sizeof type);  // the host's own number
    const bool allowed = objects::usageAllows(sessionAttribute(*object, usageAttribute(direction)), true);
    if (const CK_RV rv = judgeCipherKey(!allowed, type, mechanism); rv != CKR_OK) return rv;
    return mechanism.engine == CipherEngine::kTripleDes ? CKR_OK : CKR_KEY_TYPE_INCONSISTENT;
}

}  // namespace

CK_ATTRIBUTE_TYPE usageAttribute(CipherDirection direction) noexcept {
    return direction == CipherDirection::kEncrypt ? CKA_ENCRYPT : CKA_DECRYPT;
}

CK_RV checkCipherKeyClass(const ObjectHandle& handle, CipherDirection direction) noexcept {
    const objects::ClassLayout* layout = objects::layoutForDirectory(objects::handleDirectory(handle));
    return layout != nullptr && classServes(layout->objectClass, direction) ? CKR_OK : CKR_KEY_HANDLE_INVALID;
}

CK_RV readTokenCipherKey(CardContext& context, const ObjectHandle& handle, CipherDirection direction,
                         TokenCipherKey& key) noexcept {
    if (const abi::CK_RV rv =
            objects::loadKeyRecord(context, objects::handleDirectory(handle), handle.record, key.record);
        rv != abi::CKR_OK) {
        return rv;
    }
    const auto record = key.record.view();
    const objects::KeyUsage usage = objects::keyUsage(record, usageAttribute(direction), true);
    if (usage == objects::KeyUsage::kMalformed) return CKR_FUNCTION_FAILED;
    key.usageForbidden = usage == objects::KeyUsage::kForbidden;
    return objects::findNumberInRecord(record, CKA_KEY_TYPE, key.keyType) == objects::NumberLookup::kFound
               ? CKR_OK
               : CKR_FUNCTION_FAILED;
}

CK_RV judgeCipherKey(bool usageForbidden, uint32_t keyType, const CipherMechanism& mechanism) noexcept {
    if (usageForbidden) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    return mechanism.acceptsKeyType(keyType) ? CKR_OK : CKR_KEY_TYPE_INCONSISTENT;
}

std::optional<std::span<const uint8_t>> sessionAttribute(const SessionObject& object, CK_ATTRIBUTE_TYPE type) noexcept {
    const uint32_t count = std::min<uint32_t>(object.count, KORVA_SESSION_OBJECT_ATTRIBUTES);
    for (const CK_ATTRIBUTE& attribute : std::span(object.attributes, count)) {
        if (attribute.type != type) continue;
        if (attribute.pValue == nullptr) return std::nullopt;
        return std::span(static_cast<const uint8_t*>(attribute.pValue), attribute.ulValueLen);
    }
    return std::nullopt;
}

const SessionObject* sessionSecretKey(const HostContext& host, const ObjectHandle& handle) noexcept {
    const SessionObject* object = objects::sessionObject(objects::sessionTable(host), handle.record);
    if (object == nullptr || object->count == 0 || object->objectClass != CKO_SECRET_KEY) return nullptr;
    return object;
}

CK_RV checkCipherKey(const HostContext& host, const ObjectHandle& handle, const CipherMechanism& mechanism,
                     CipherDirection direction) noexcept {
    if (objects::isSessionHandle(handle)) return checkSessionKey(host, handle, mechanism, direction);
    if (const CK_RV rv = checkCipherKeyClass(handle, direction); rv != CKR_OK) return rv;
    CardContext context(host);
    if (card::selectApplicationSubdirectory(context) != result::kOk) return CKR_FUNCTION_FAILED;
    TokenCipherKey key;
    if (const CK_RV rv = readTokenCipherKey(context, handle, direction, key); rv != CKR_OK) return rv;
    return judgeCipherKey(key.usageForbidden, key.keyType, mechanism);
}

}  // namespace korva::ciphers
