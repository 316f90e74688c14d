#include "keys/key_demands.h"

#include "card/select.h"
#include "objects/attribute_record.h"
#include "objects/layout.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>

namespace korva::keys {
abi::CK_RV loadDemandedKey(CardContext& context, const abi::ObjectHandle& handle, const KeyDemand& demand,
                           objects::KeyRecord& record) noexcept {
    if (objects::handleDirectory(handle) != demand.directory) return abi::CKR_KEY_HANDLE_INVALID;
    if (const abi::CK_RV rv = objects::loadKeyRecord(context, demand.directory, handle.record, record);
        rv != abi::CKR_OK) {
        return rv;
    }
    const objects::KeyUsage usage = objects::keyUsage(record.view(), demand.usage, demand.usageWhenAbsent);
    uint32_t keyType = 0;
    if (usage == objects::KeyUsage::kMalformed ||
        objects::findNumberInRecord(record.view(), abi::CKA_KEY_TYPE, keyType) != objects::NumberLookup::kFound) {
        return abi::CKR_FUNCTION_FAILED;
    }
    if (usage == objects::KeyUsage::kForbidden ||
        std::ranges::find(demand.keyTypes, keyType) == demand.keyTypes.end()) {
        return abi::CKR_KEY_FUNCTION_NOT_PERMITTED;
    }
    return abi::CKR_OK;
}

abi::CK_RV selectAndLoadDemandedKey(CardContext& context, const abi::ObjectHandle& handle, const KeyDemand& demand,
                                    objects::KeyRecord& record) noexcept {
    if (objects::handleDirectory(handle) != demand.directory) return abi::CKR_KEY_HANDLE_INVALID;
    if (card::selectApplicationSubdirectory(context) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    return loadDemandedKey(context, handle, demand, record);
}

}  // namespace korva::keys
