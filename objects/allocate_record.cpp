// Growing a directory file means deleting it and creating it larger: the
// card cannot resize a record file. Between the DELETE FILE and the last
// APPEND RECORD the directory's records exist only in this module's memory,
// so the growth keeps them there until every one is back on the card:
//
// - the larger CREATE FILE fails (no memory, refused, link down): the
//   directory is created again at its old size and the saved records are
//   appended; the caller learns of the failure (no room when the card lacked
//   memory);
// - an APPEND RECORD fails: the half-filled directory is deleted and the
//   same restoration at the old size is tried once;
// - the restoration itself fails (typically the link is gone for good): the
//   records are lost from the card. The module keeps nothing between calls,
//   so this is the one case it cannot repair; it reports the failure and
//   the card's directory is missing or short until the objects are created
//   again. A card that loses power mid-growth is in the same state.
//
// The public-key directory's container map is grown before the directory
// (with the same care: the old map is put back at its old size when the
// larger one cannot be made), so a failure never leaves public-key records
// that the map has no entries for.
#include "objects/allocate_record.h"

#include "objects/container_map.h"

#include "card/files.h"
#include "card/records.h"
#include "card/select.h"
#include "card/templates.h"

#include <algorithm>
#include <new>
#include <vector>

namespace korva::objects {

namespace {

// Key records above 32 cannot be named by the card's key references.
constexpr uint8_t kHighestKeyRecord = 32;
// Room a public-key record needs: its record and its container map entry.
constexpr uint32_t kPublicKeyRecordCost = kRecordSize + container_map::kEntrySize;

using SavedRecords = std::vector<DirectoryRecord>;

struct DirectoryScan {
    bool exists = false;
    uint8_t recordCount = 0;
    uint8_t freeRecord = 0;  // 0: none free
    SavedRecords records;
};

CardResult scanDirectory(CardContext& context, uint16_t directoryId, DirectoryScan& scan) {
    const CardResult selected = card::selectFile(context, directoryId);
    if (selected == result::kNotFound) return result::kOk;
    if (selected != result::kOk) return selected;
    const std::optional<uint8_t> count = selectedRecordCount(context);
    if (!count) return result::kUnexpected;
    scan.exists = true;
    scan.recordCount = *count;
    scan.records.reserve(*count);
    for (unsigned n = 1; n <= *count; ++n) {
        DirectoryRecord& record = scan.records.emplace_back();
        uint32_t length = kRecordSize;
        const CardResult rc = card::readRecord(context, uint8_t(n), record, length);
        if (rc == result::kNotFound) {
            // The card holds fewer records than the file's size allows; the
            // growth appends the missing ones as free records.
            scan.records.pop_back();
            break;
        }
        if (rc != result::kOk || length != kRecordSize) return rc == result::kOk ? result::kUnexpected : rc;
        if (isFreeRecord(record)) {
            scan.freeRecord = uint8_t(n);
            return result::kOk;
        }
    }
    return result::kOk;
}

// CREATE FILE with `recordCount` records, then the saved records and free
// ones up to the count.
CardResult rebuildDirectory(CardContext& context, uint16_t directoryId, bool open, uint8_t recordCount,
                            const SavedRecords& records) noexcept {
    if (const CardResult rc = card::createRecordFile(context, directoryId, recordCount, open); rc != result::kOk) {
        return rc;
    }
    const DirectoryRecord freeRecord{};
    for (unsigned n = 0; n < recordCount; ++n) {
        const DirectoryRecord& record = n < records.size() ? records[n] : freeRecord;
        if (const CardResult rc = card::appendRecord(context, record); rc != result::kOk) return rc;
    }
    return result::kOk;
}

// Puts the directory back as it was before the growth, after a failure
// part-way. Deleting first clears a half-filled file.
CardResult restoreDirectory(CardContext& context, uint16_t directoryId, bool open, uint8_t recordCount,
                            const SavedRecords& records) noexcept {
    if (const CardResult rc = deleteIfPresent(context, directoryId); rc != result::kOk) return rc;
    return rebuildDirectory(context, directoryId, open, recordCount, records);
}

CardResult growPublicKeyMap(CardContext& context, uint8_t recordCount) noexcept {
    if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
    if (const CardResult rc = card::selectFile(context, kContainerMapFileId); rc != result::kOk) return rc;
    const CardResult grown = growContainerMap(context, container_map::sizeFor(recordCount));
    if (grown != result::kOk && grown != kMapNotGrown) return grown;
    if (const CardResult rc = card::selectApplicationSubdirectory(context); rc != result::kOk) return rc;
    // Without room for the map entries the new records cannot be used.
    return grown == kMapNotGrown ? kNoRoom : result::kOk;
}

CardResult finish(CardContext& context, const TokenSettings& settings, uint16_t directoryId,
                  CardResult outcome) noexcept {
    if (outcome != result::kOk && outcome != kNoRoom) return outcome;
    if (const CardResult rc = leaveDirectoryParent(context, settings, directoryId); rc != result::kOk) return rc;
    return outcome;
}

CardResult allocate(CardContext& context, const TokenSettings& settings, const ClassLayout& layout,
                    uint8_t& record) {
    const uint16_t directoryId = layout.directoryId;
    if (const CardResult rc = selectDirectoryParent(context, settings, directoryId); rc != result::kOk) return rc;
    const uint32_t freeMemory = context.fci.keyReference;

    DirectoryScan scan;
    if (const CardResult rc = scanDirectory(context, directoryId, scan); rc != result::kOk) return rc;
    const bool keyDirectory = layout.maxRecords <= kHighestKeyRecord;
    if (scan.freeRecord != 0) {
        if (keyDirectory && scan.freeRecord > kHighestKeyRecord) return finish(context, settings, directoryId, kNoRoom);
        record = scan.freeRecord;
        return finish(context, settings, directoryId, result::kOk);
    }

    const uint32_t step = settings[layout.growthSettingsByte];
    const uint32_t oldCount = scan.recordCount;
    const uint32_t cost = directoryId == directoryOf(ObjectClass::PublicKey) ? kPublicKeyRecordCost : kRecordSize;
    if (freeMemory == FileControlInfo::kAbsent || freeMemory < step * cost) {
        return finish(context, settings, directoryId, kNoRoom);
    }
    if (step == 0 || oldCount > layout.maxRecords || step > layout.maxRecords) return result::kBadArgumentOrTransport;
    if (oldCount == layout.maxRecords) return finish(context, settings, directoryId, kNoRoom);
    const uint8_t newCount = uint8_t(oldCount + std::min<uint32_t>(layout.maxRecords - oldCount, step));

    // The container map grows first: a public-key record without room for
    // its map entry could not be mirrored, while a map larger than its
    // directory only waits for the records to come.
    if (directoryId == directoryOf(ObjectClass::PublicKey)) {
        if (const CardResult rc = growPublicKeyMap(context, newCount); rc != result::kOk) return rc;
    }
    const bool open = directoryInSubdirectory(settings, directoryId);
    if (scan.exists) {
        if (const CardResult rc = card::deleteFile(context, directoryId); rc != result::kOk) return rc;
    }
    const CardResult grown = rebuildDirectory(context, directoryId, open, newCount, scan.records);
    if (grown != result::kOk) {
        const bool cardFull = grown == result::kMemory;
        if (oldCount == 0) {
            // Nothing was saved: a directory that cannot be made goes away.
            (void)deleteIfPresent(context, directoryId);
            return cardFull ? finish(context, settings, directoryId, kNoRoom) : grown;
        }
        const CardResult restored = restoreDirectory(context, directoryId, open, uint8_t(oldCount), scan.records);
        if (restored != result::kOk) return restored;
        return cardFull ? finish(context, settings, directoryId, kNoRoom) : grown;
    }

    const uint8_t firstNew = uint8_t(oldCount + 1);
    if (keyDirectory && firstNew > kHighestKeyRecord) return finish(context, settings, directoryId, kNoRoom);
    record = firstNew;
    return finish(context, settings, directoryId, result::kOk);
}

}  // namespace

CardResult allocateRecord(CardContext& context, const TokenSettings& settings, uint16_t directoryId,
                          uint8_t& record) noexcept {
    const ClassLayout* layout = layoutForDirectory(directoryId);
    if (layout == nullptr) return result::kBadArgumentOrTransport;
    try {
        return allocate(context, settings, *layout, record);
    } catch (const std::bad_alloc&) {
        return result::kMemory;
    }
}

}  // namespace korva::objects
