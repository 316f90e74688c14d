#include "keys/key_demands.h"

#include "card/select.h"
#include "objects/attribute_record.h"
#include "objects/layout.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>

namespace korva::keys {
namespace {

// A stored flag allows only as the single byte 01; a value of another
// length allows nothing.
bool usageAllowed(std::span<const uint8_t> record, const KeyDemand& demand, bool& allowed) noexcept {
    const objects::RecordLookup usage = objects::findInRecord(record, demand.usage);
    switch (usage.result) {
        case objects::LookupResult::Absent:
            allowed = demand.usageWhenAbsent;
            return true;
        case objects::LookupResult::Found:
            allowed = usage.value.size() == 1 && usage.value[0] == 1;
            return true;
        case objects::LookupResult::Malformed:
            break;
    }
    return false;
}

}  // namespace

abi::CK_RV loadDemandedKey(CardContext& context, const abi::ObjectHandle& handle, const KeyDemand& demand,
                           objects::KeyRecord& record) noexcept {
    if (objects::handleDirectory(handle) != demand.directory) return abi::CKR_KEY_HANDLE_INVALID;
    if (card::selectApplicationSubdirectory(context) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (const abi::CK_RV rv = objects::keyRecordReadToRv(objects::readKeyRecord(context, demand.directory, handle.record, record)); rv != abi::CKR_OK) {
        return rv;
    }
    bool allowed = false;
    uint32_t keyType = 0;
    if (!usageAllowed(record.view(), demand, allowed) ||
        objects::findNumberInRecord(record.view(), abi::CKA_KEY_TYPE, keyType) != objects::NumberLookup::kFound) {
        return abi::CKR_FUNCTION_FAILED;
    }
    if (!allowed || std::ranges::find(demand.keyTypes, keyType) == demand.keyTypes.end()) {
        return abi::CKR_KEY_FUNCTION_NOT_PERMITTED;
    }
    return abi::CKR_OK;
}

}  // namespace korva::keys
