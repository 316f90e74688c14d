#include "objects/key_record.h"

#include "objects/directory_files.h"

#include "card/select.h"

#include <algorithm>

namespace korva::objects {

KeyRecordRead readKeyRecord(CardContext& context, uint16_t directoryId, uint8_t number,
                            KeyRecord& record) noexcept {
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

NumberLookup findNumberInRecord(std::span<const uint8_t> record, uint32_t type, uint32_t& value) noexcept {
    const RecordLookup found = findInRecord(record, type);
    if (found.result == LookupResult::Malformed) return NumberLookup::kMalformed;
    if (found.result == LookupResult::Absent) return NumberLookup::kAbsent;
    if (found.value.size() < 4) return NumberLookup::kMalformed;
    value = readBigEndian32(found.value.data());
    return NumberLookup::kFound;
}

}  // namespace korva::objects
