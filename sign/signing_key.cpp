#include "sign/signing_key.h"

#include "sign/card_signature.h"

#include "card/select.h"
#include "objects/directory_files.h"
#include "objects/layout.h"
#include "objects/object_bodies.h"
#include "session/pin.h"

namespace korva::sign::detail {
namespace {

using namespace korva::abi;

objects::ObjectClass classFor(KeyUse use) noexcept {
    return use == KeyUse::kSign ? objects::ObjectClass::PrivateKey : objects::ObjectClass::PublicKey;
}

CK_ATTRIBUTE_TYPE usageAttribute(KeyUse use) noexcept { return use == KeyUse::kSign ? CKA_SIGN : CKA_VERIFY; }

}  // namespace

CK_RV checkKeyClass(const ObjectHandle& handle, KeyUse use) noexcept {
    const objects::ClassLayout* layout = objects::layoutForDirectory(objects::handleDirectory(handle));
    if (layout == nullptr || layout->objectClass != classFor(use)) return CKR_KEY_HANDLE_INVALID;
    return CKR_OK;
}

CK_RV loadUsableKey(CardContext& context, const ObjectHandle& handle, const LoginRecord* login,
                    const KeyDemands& demands, UsableKey& key) noexcept {
    if (card::selectApplicationSubdirectory(context) != result::kOk) return CKR_FUNCTION_FAILED;
    if (demands.withLogin && token::loginWith(context, login) != result::kOk) return CKR_FUNCTION_FAILED;
    if (const abi::CK_RV rv =
            objects::loadKeyRecord(context, objects::handleDirectory(handle), handle.record, key.record);
        rv != abi::CKR_OK) {
        return rv;
    }
    key.recordNumber = handle.record;
    const auto record = key.record.view();

    // The usage flag is optional: only a stored 1-byte value other than 1
    // forbids the use.
    const objects::RecordLookup usage = objects::findInRecord(record, usageAttribute(demands.use));
    if (usage.result == objects::LookupResult::Malformed) return CKR_FUNCTION_FAILED;
    const bool forbidden =
        usage.result == objects::LookupResult::Found && usage.value.size() == 1 && usage.value[0] != 1;

    if (objects::findNumberInRecord(record, CKA_KEY_TYPE, key.keyType) != objects::NumberLookup::kFound) {
        return CKR_FUNCTION_FAILED;
    }
    if (demands.needsModulusBits &&
        objects::findNumberInRecord(record, CKA_MODULUS_BITS, key.modulusBits) != objects::NumberLookup::kFound) {
        return CKR_FUNCTION_FAILED;
    }
    if (forbidden) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (key.keyType != demands.keyType) return CKR_KEY_TYPE_INCONSISTENT;
    return CKR_OK;
}

CK_RV rsaModulusBytes(const UsableKey& key, uint32_t& bytes) noexcept {
    uint32_t bits = 0;
    if (objects::findNumberInRecord(key.record.view(), CKA_MODULUS_BITS, bits) != objects::NumberLookup::kFound) {
        return CKR_FUNCTION_FAILED;
    }
    bytes = bits / 8;
    return bytes == kRsaModulusBytes ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV gostKeyReference(const UsableKey& key, uint8_t& reference) noexcept {
    return objects::keyReferenceOf(key.record.view(), reference) == objects::KeyReferenceLookup::Found
               ? CKR_OK
               : CKR_FUNCTION_FAILED;
}

}  // namespace korva::sign::detail
