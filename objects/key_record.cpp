#include "objects/key_record.h"

#include "objects/directory_files.h"

#include "card/select.h"

#include <algorithm>

namespace korva::objects {

KeyRecordRead readKeyRecord(CardContext& context, uint16_t directoryId, uint8_t number, KeyRecord& record) noexcept {
    record.bytes.fill(0);
    record.length = 0;
    if (card::selectFile(context, directoryId) != result::kOk) return KeyRecordRead::kFailed;
    uint32_t length = 0;
    if (readDirectoryRecord(context, number, record.bytes, length) != result::kOk) return KeyRecordRead::kFailed;
    record.length = std::min<uint32_t>(length, kRecordSize);
    if (record.length <= 3) return KeyRecordRead::kFailed;
    if (isFreeRecord(record.view())) return KeyRecordRead::kFree;
    if (record.length < kEntryHeaderSize) return KeyRecordRead::kFailed;
    return KeyRecordRead::kOk;
}

abi::CK_RV loadKeyRecord(CardContext& context, uint16_t directoryId, uint8_t number, KeyRecord& record) noexcept {
    switch (readKeyRecord(context, directoryId, number, record)) {
        case KeyRecordRead::kOk: return abi::CKR_OK;
        case KeyRecordRead::kFree: return abi::CKR_OBJECT_HANDLE_INVALID;
        case KeyRecordRead::kFailed: break;
    }
    return abi::CKR_FUNCTION_FAILED;
}

bool usageAllows(std::optional<std::span<const uint8_t>> flag, bool whenAbsent) noexcept {
    if (!flag || flag->size() != 1) return whenAbsent;
    return (*flag)[0] == 1;
}

KeyUsage keyUsage(std::span<const uint8_t> record, uint32_t usage, bool whenAbsent) noexcept {
    const RecordLookup found = findInRecord(record, usage);
    if (found.result == LookupResult::Malformed) return KeyUsage::kMalformed;
    const auto flag = found.result == LookupResult::Found ? std::optional(found.value) : std::nullopt;
    return usageAllows(flag, whenAbsent) ? KeyUsage::kAllowed : KeyUsage::kForbidden;
}

NumberLookup findNumberInRecord(std::span<const uint8_t> record, uint32_t type, uint32_t& value) noexcept {
    const RecordLookup found = findInRecord(record, type);
    if (found.result == LookupResult::Malformed) return NumberLookup::kMalformed;
    if (found.result == LookupResult::Absent) return NumberLookup::kAbsent;
    if (found.value.size() < 4) return NumberLookup::kMalformed;
    value = readBigEndian32(found.value.data());
    return NumberLookup::kFound;
}

}  // namespace korva::objects
