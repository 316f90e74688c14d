#include "objects/directory_files.h"

#include "card/files.h"
#include "card/records.h"
#include "card/select.h"

#include <algorithm>
#include <korva/pkcs11_types.h>

namespace korva::objects {

uint16_t ownBodyOf(ObjectClass objectClass, uint8_t record) noexcept {
    return bodyFileId(layoutForClass(uint32_t(objectClass))->bodyPrefix, record);
}

bool certificatesInSubdirectory(const TokenSettings& settings) noexcept { return settings[0] != 1; }

bool directoryInSubdirectory(const TokenSettings& settings, uint16_t directoryId) noexcept {
    return directoryId == directoryOf(ObjectClass::Certificate) && certificatesInSubdirectory(settings);
}

CardResult selectDirectoryParent(CardContext& context, const TokenSettings& settings, uint16_t directoryId) noexcept {
    return directoryInSubdirectory(settings, directoryId) ? card::selectCertificateDirectory(context)
                                                          : card::selectApplicationSubdirectory(context);
}

CardResult selectDirectory(CardContext& context, const TokenSettings& settings, uint16_t directoryId) noexcept {
    if (const CardResult rc = selectDirectoryParent(context, settings, directoryId); rc != result::kOk) return rc;
    return card::selectFile(context, directoryId);
}

CardResult leaveDirectoryParent(CardContext& context, const TokenSettings& settings, uint16_t directoryId) noexcept {
    if (!directoryInSubdirectory(settings, directoryId)) return result::kOk;
    return card::selectApplicationSubdirectory(context);
}

CardResult selectIfPresent(CardContext& context, uint16_t fileId) noexcept { return card::selectFile(context, fileId); }

CardResult deleteIfPresent(CardContext& context, uint16_t fileId) noexcept {
    const CardResult selected = card::selectFile(context, fileId);
    if (selected == result::kNotFound) return result::kOk;
    if (selected != result::kOk) return selected;
    return card::deleteFile(context, fileId);
}

CardResult readDirectoryRecord(CardContext& context, uint8_t number, DirectoryRecord& record,
                               uint32_t& length) noexcept {
    record.fill(0);
    length = 0;
    return card::readRecord(context, number, record, length);
}

std::optional<uint8_t> selectedRecordCount(const CardContext& context) noexcept {
    // A directory holds at most 254 records; a larger count is a damaged FCP
    // and is bounded rather than trusted.
    if (context.fci.recordCount < 0) return std::nullopt;
    return uint8_t(std::min<int32_t>(context.fci.recordCount, 255));
}

CardResult searchSelectedDirectory(CardContext& context, std::span<const uint8_t> id, uint8_t& record) noexcept {
    const std::optional<uint8_t> count = selectedRecordCount(context);
    if (!count) return result::kUnexpected;
    for (unsigned n = 1; n <= *count; ++n) {
        DirectoryRecord bytes;
        uint32_t length = 0;
        const CardResult rc = readDirectoryRecord(context, uint8_t(n), bytes, length);
        // "Record not found" must not read as "no match".
        if (rc == result::kNotFound) return result::kUnexpected;
        if (rc != result::kOk) return rc;
        const std::span<const uint8_t> stored(bytes.data(), length);
        if (length < 4 || isFreeRecord(stored)) continue;
        const RecordLookup found = findInRecord(stored, abi::CKA_ID);
        if (found.result == LookupResult::Malformed) return result::kUnexpected;
        if (found.result == LookupResult::Found && std::ranges::equal(found.value, id)) {
            record = uint8_t(n);
            return result::kOk;
        }
    }
    return result::kNotFound;
}

CardResult findKeyRecordById(CardContext& context, uint16_t directoryId, std::span<const uint8_t> id,
                             uint8_t& record) noexcept {
    if (const CardResult rc = card::selectFile(context, directoryId); rc != result::kOk) return rc;
    return searchSelectedDirectory(context, id, record);
}

CardResult findKeyWithSameId(CardContext& context, uint16_t directoryId, std::span<const uint8_t> keyRecord,
                             uint8_t& match) noexcept {
    if (keyRecord.size() <= 4) return result::kNotFound;
    const RecordLookup id = findInRecord(keyRecord, abi::CKA_ID);
    if (id.result == LookupResult::Malformed) return result::kUnexpected;
    if (id.result == LookupResult::Absent) return result::kNotFound;
    return findKeyRecordById(context, directoryId, id.value, match);
}

CardResult findMatchingPublicKey(CardContext& context, std::span<const uint8_t> keyRecord,
                                 uint8_t& publicRecord) noexcept {
    return findKeyWithSameId(context, directoryOf(ObjectClass::PublicKey), keyRecord, publicRecord);
}

}  // namespace korva::objects
