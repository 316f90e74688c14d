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

RoomOutcome growPublicKeyMap(CardContext& context, uint8_t recordCount) noexcept {
    if (card::selectCertificateDirectory(context) != result::kOk ||
        card::selectFile(context, kContainerMapFileId) != result::kOk) {
        return RoomOutcome::kFailed;
    }
    const RoomOutcome grown = growContainerMap(context, container_map::sizeFor(recordCount));
    if (grown != RoomOutcome::kDone && grown != RoomOutcome::kNoRoom) return grown;
    if (card::selectApplicationSubdirectory(context) != result::kOk) return RoomOutcome::kFailed;
    // Without room for the map entries the new records cannot be used.
    return grown;
}

// The answers that leave the directory usable return to the application
// subdirectory first.
RoomOutcome finish(CardContext& context, const TokenSettings& settings, uint16_t directoryId,
                   RoomOutcome outcome) noexcept {
    if (leaveDirectoryParent(context, settings, directoryId) != result::kOk) return RoomOutcome::kFailed;
    return outcome;
}

RoomOutcome allocate(CardContext& context, const TokenSettings& settings, const ClassLayout& layout, uint8_t& record) {
    const uint16_t directoryId = layout.directoryId;
    // The room to grow is the application subdirectory's, as its own
    // control information reports it, also for a directory kept in the
    // certificate subdirectory below it.
    if (card::selectApplicationSubdirectory(context) != result::kOk) return RoomOutcome::kFailed;
    const uint32_t freeMemory = context.fci.keyReference;
    if (directoryInSubdirectory(settings, directoryId) && card::selectCertificateDirectory(context) != result::kOk) {
        return RoomOutcome::kFailed;
    }

    DirectoryScan scan;
    if (scanDirectory(context, directoryId, scan) != result::kOk) return RoomOutcome::kFailed;
    const bool keyDirectory = layout.maxRecords <= kHighestKeyRecord;
    if (scan.freeRecord != 0) {
        if (keyDirectory && scan.freeRecord > kHighestKeyRecord) {
            return finish(context, settings, directoryId, RoomOutcome::kNoRoom);
        }
        record = scan.freeRecord;
        return finish(context, settings, directoryId, RoomOutcome::kDone);
    }

    const uint32_t step = settings[layout.growthSettingsByte];
    const uint32_t oldCount = scan.recordCount;
    const uint32_t cost = directoryId == directoryOf(ObjectClass::PublicKey) ? kPublicKeyRecordCost : kRecordSize;
    // No room, or a full directory, is answered at once: the caller gives up.
    if (freeMemory == FileControlInfo::kAbsent || freeMemory < step * cost) return RoomOutcome::kNoRoom;
    if (step == 0 || oldCount > layout.maxRecords || step > layout.maxRecords) return RoomOutcome::kFailed;
    if (oldCount == layout.maxRecords) return RoomOutcome::kNoRoom;
    const uint8_t newCount = uint8_t(oldCount + std::min<uint32_t>(layout.maxRecords - oldCount, step));

    // The container map grows first: a public-key record without room for
    // its map entry could not be mirrored, while a map larger than its
    // directory only waits for the records to come.
    if (directoryId == directoryOf(ObjectClass::PublicKey)) {
        if (const RoomOutcome map = growPublicKeyMap(context, newCount); map != RoomOutcome::kDone) return map;
    }
    const bool open = directoryInSubdirectory(settings, directoryId);
    if (scan.exists && card::deleteFile(context, directoryId) != result::kOk) return RoomOutcome::kFailed;
    const CardResult grown = rebuildDirectory(context, directoryId, open, newCount, scan.records);
    if (grown != result::kOk) {
        // Only the larger CREATE FILE answered "no memory" means no room; a
        // restoration at the old size that fails, for whatever reason, is a
        // failure: that size existed a moment ago.
        const RoomOutcome refused = grown == result::kMemory ? RoomOutcome::kNoRoom : RoomOutcome::kFailed;
        if (oldCount == 0) {
            // Nothing was saved: a directory that cannot be made goes away.
            (void)deleteIfPresent(context, directoryId);
            return refused;
        }
        if (restoreDirectory(context, directoryId, open, uint8_t(oldCount), scan.records) != result::kOk) {
            return RoomOutcome::kFailed;
        }
        return refused == RoomOutcome::kNoRoom ? finish(context, settings, directoryId, refused) : refused;
    }

    const uint8_t firstNew = uint8_t(oldCount + 1);
    if (keyDirectory && firstNew > kHighestKeyRecord) {
        return finish(context, settings, directoryId, RoomOutcome::kNoRoom);
    }
    record = firstNew;
    return finish(context, settings, directoryId, RoomOutcome::kDone);
}

}  // namespace

RoomOutcome allocateRecord(CardContext& context, const TokenSettings& settings, uint16_t directoryId,
                           uint8_t& record) noexcept {
    const ClassLayout* layout = layoutForDirectory(directoryId);
    if (layout == nullptr) return RoomOutcome::kFailed;
    try {
        return allocate(context, settings, *layout, record);
    } catch (const std::bad_alloc&) {
        return RoomOutcome::kHostMemory;
    }
}

}  // namespace korva::objects
