// The walk over the token's objects. A search visits the directories in a
// fixed order (private keys, public keys, secret keys, certificates, data
// objects), then the session objects. It does not know how many records a
// directory has: it relies on the class counts of the counters file, copied
// into the cursor when the search starts, and stops within a directory
// once as many objects as counted were returned. Free records are stepped
// over without lowering the count.
//
// Counts larger than what the card holds (a damaged counters file, or one
// written by other software) would make that walk read record after record
// past the directory's end. So the walk is bounded: a directory that does
// not exist, or a record number beyond the directory's record count in its
// FCP, ends that directory's part of the walk at once (its remaining count
// is set to 0).
#include "objects/enumerate.h"

#include "objects/attribute_set.h"
#include "objects/bookkeeping.h"
#include "objects/read_object.h"
#include "objects/session_table.h"

#include "card/select.h"
#include "session/pin.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace korva::objects {

namespace {

using abi::CK_RV;

constexpr uint32_t kNoUser = 0xFF;

uint16_t cursorDirectory(const abi::FindCursor& cursor) {
    return uint16_t(cursor.directoryHigh << 8 | cursor.directoryLow);
}

void setCursorDirectory(abi::FindCursor& cursor, uint16_t directory) {
    cursor.directoryHigh = uint8_t(directory >> 8);
    cursor.directoryLow = uint8_t(directory);
}

// The cursor's count of the objects still to find in `directory`.
uint8_t* remainingCount(abi::FindCursor& cursor, uint16_t directory) {
    const ClassLayout* layout = layoutForDirectory(directory);
    if (layout == nullptr) return nullptr;
    return &cursor.remaining[layout->countsByte - counters::kFirstCount];
}

uint16_t directoryAfter(uint16_t directory) {
    const auto* at = std::ranges::find(kWalkOrder, directory);
    if (at == kWalkOrder.end() || at + 1 == kWalkOrder.end()) return kSessionDirectory;
    return *(at + 1);
}

struct WalkStep {
    enum class Kind : uint8_t { Object, End, Error } kind = Kind::Error;
    uint16_t directory = 0;
    uint8_t index = 0;
    uint8_t* remaining = nullptr;  // null for session objects
};

// The counters file lies in the application subdirectory. A call that has
// just selected it (and run the login step, which ends there) reads at
// once; a later call of the same search finds the card where the previous
// call left it, perhaps in the key directory, and selects it first.
CardResult loadCounts(CardContext& context, abi::FindCursor& cursor, bool applicationCurrent) {
    if (!applicationCurrent) {
        if (const CardResult rc = card::selectApplicationSubdirectory(context); rc != result::kOk) return rc;
    }
    CountersBytes bytes{};
    if (const CardResult rc = readCounters(context, bytes); rc != result::kOk) return rc;
    cursor.countsValid = bytes[counters::kCountsValid];
    std::copy_n(bytes.begin() + counters::kFirstCount, std::size(cursor.remaining), cursor.remaining);
    return result::kOk;
}

WalkStep nextObject(CardContext& context, abi::FindCursor& cursor, bool applicationCurrent) {
    uint8_t index = cursor.lastIndex;
    uint16_t directory = cursorDirectory(cursor);
    if (cursor.countsValid == 0 && loadCounts(context, cursor, applicationCurrent) != result::kOk) return {};
    if (directory == 0) directory = kWalkOrder.front();
    for (;;) {
        WalkStep step;
        if (directory == kSessionDirectory) {
            if (index >= sessionObjectCount(sessionTable(context.host))) return {WalkStep::Kind::End};
            step = {WalkStep::Kind::Object, directory, uint8_t(index + 1), nullptr};
        } else {
            uint8_t* remaining = remainingCount(cursor, directory);
            if (remaining == nullptr) return {};
            if (*remaining != 0 && index < 255) {
                step = {WalkStep::Kind::Object, directory, uint8_t(index + 1), remaining};
            } else {
                directory = directoryAfter(directory);
                index = 0;
                continue;
            }
        }
        cursor.lastIndex = step.index;
        setCursorDirectory(cursor, step.directory);
        return step;
    }
}

// A session object's attributes as the host sees them. A free entry (count
// 0) is an object that was destroyed: it is not shown.
bool loadSessionObject(const abi::HostContext& host, uint8_t index, AttributeSet& set, ObjectFacts& facts) {
    const abi::SessionObject* object = sessionObject(sessionTable(host), index);
    if (object == nullptr || object->count == 0) return false;
    const uint32_t count = std::min<uint32_t>(object->count, KORVA_SESSION_OBJECT_ATTRIBUTES);
    if (!set.load(std::span(object->attributes, count)) || !set.complete()) return false;
    facts.classNumber = uint32_t(ObjectClass::SecretKey);
    const AttributeSet::Entry* isPrivate = set.find(abi::CKA_PRIVATE);
    facts.isPrivate = isPrivate != nullptr && isPrivate->hasValue && isPrivate->length == 1 && isPrivate->value[0] == 1;
    return true;
}

CK_RV exportObject(const AttributeSet& set, const ObjectFacts& facts, ObjectReport& report) {
    if (!exportAttributes(set, report.attributes, report.count)) return abi::CKR_HOST_MEMORY;
    report.facts = facts;
    return abi::CKR_OK;
}

uint32_t userTypeOf(const abi::LoginRecord* login) { return login == nullptr ? kNoUser : login->userType; }

CardResult openApplication(CardContext& context, const abi::LoginRecord* login) {
    if (const CardResult rc = card::selectApplicationSubdirectory(context); rc != result::kOk) return rc;
    return token::loginWith(context, login);
}

}  // namespace

CK_RV findObjectsInit(std::span<const abi::CK_ATTRIBUTE> tmpl, abi::FindCursor& cursor) {
    cursor.classGiven = 0;
    cursor.lastIndex = 0;
    setCursorDirectory(cursor, 0);
    const auto entry = std::ranges::find(tmpl, abi::CKA_CLASS, &abi::CK_ATTRIBUTE::type);
    if (entry == tmpl.end() || entry->ulValueLen != 4 || entry->pValue == nullptr) return abi::CKR_OK;
    cursor.classGiven = 1;
    uint32_t classNumber = 0;
    std::memcpy(&classNumber, entry->pValue, sizeof classNumber);
    const ClassLayout* layout = layoutForClass(classNumber);
    if (layout == nullptr) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    setCursorDirectory(cursor, layout->directoryId);
    return abi::CKR_OK;
}

CK_RV findNextObject(const abi::HostContext& host, const abi::LoginRecord* login, const TokenSettings& settings,
                     std::span<abi::CK_ATTRIBUTE> tmpl, abi::FindCursor& cursor, ObjectReport& report) {
    CardContext context(host);
    if (openApplication(context, login) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    for (bool applicationCurrent = true;; applicationCurrent = false) {
        const WalkStep step = nextObject(context, cursor, applicationCurrent);
        if (step.kind == WalkStep::Kind::End) return kEndOfObjects;
        if (step.kind == WalkStep::Kind::Error || step.remaining == nullptr) return abi::CKR_FUNCTION_FAILED;
        ObjectFacts facts;
        WalkBound bound;
        const CK_RV rv =
            readAttributeValues(context, settings, userTypeOf(login), step.directory, step.index, tmpl, facts, &bound);
        if (bound.beyondDirectory) {
            *step.remaining = 0;
            continue;
        }
        if (rv == abi::CKR_OK || rv == abi::CKR_USER_NOT_LOGGED_IN || rv == abi::CKR_BUFFER_TOO_SMALL) {
            --*step.remaining;
        }
        if (rv == abi::CKR_OBJECT_HANDLE_INVALID || rv == abi::CKR_USER_NOT_LOGGED_IN) continue;
        if (rv != abi::CKR_OK) return rv;
        report.handle = makeHandle(step.index, step.directory);
        report.facts = facts;
        return abi::CKR_OK;
    }
}

CK_RV findNextObjectAttributes(const abi::HostContext& host, const abi::LoginRecord* login,
                               const TokenSettings& settings, abi::FindCursor& cursor, ObjectReport& report) {
    CardContext context(host);
    // The PIN is presented once, when the search starts: before the first
    // object is returned (cursor byte 1 is still 0). A search that slot 14
    // started at a class's directory is just as new as one that starts at
    // the first directory.
    const bool newSearch = cursor.lastIndex == 0;
    if (newSearch && openApplication(context, login) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    AttributeSet set;
    ObjectFacts facts;
    WalkStep step;
    for (bool applicationCurrent = newSearch;; applicationCurrent = false) {
        step = nextObject(context, cursor, applicationCurrent);
        if (step.kind == WalkStep::Kind::End) return kEndOfObjects;
        if (step.kind == WalkStep::Kind::Error) return abi::CKR_FUNCTION_FAILED;
        set.clear();
        if (step.remaining == nullptr) {
            if (loadSessionObject(host, step.index, set, facts)) break;
            continue;
        }
        WalkBound bound;
        const CK_RV rv = readTokenObject(context, settings, step.directory, step.index, set, facts, &bound);
        if (bound.beyondDirectory) {
            *step.remaining = 0;
            continue;
        }
        if (rv == abi::CKR_OK) {
            --*step.remaining;
            break;
        }
        // An object that cannot be read is reported, not skipped: hiding it
        // would pass a damaged token off as a sound one. The cursor is
        // already past it, so the host's next call goes on with the objects
        // after it; one damaged object does not end the search.
        if (rv != abi::CKR_OBJECT_HANDLE_INVALID) return rv;
    }
    const CK_RV rv = exportObject(set, facts, report);
    if (rv == abi::CKR_OK) report.handle = makeHandle(step.index, step.directory);
    return rv;
}

CK_RV getAllAttributes(const abi::HostContext& host, const std::optional<TokenSettings>& settings,
                       const abi::ObjectHandle& handle, ObjectReport& report) {
    AttributeSet set;
    ObjectFacts facts;
    if (isSessionHandle(handle)) {
        if (!loadSessionObject(host, handle.record, set, facts)) return abi::CKR_FUNCTION_FAILED;
        return exportObject(set, facts, report);
    }
    if (!settings) return abi::CKR_ARGUMENTS_BAD;
    CardContext context(host);
    if (card::selectApplicationSubdirectory(context) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    const CK_RV rv = readTokenObject(context, *settings, handleDirectory(handle), handle.record, set, facts, nullptr);
    if (rv != abi::CKR_OK) return rv;
    return exportObject(set, facts, report);
}

CK_RV getAttributeValue(const abi::HostContext& host, const abi::LoginRecord* login, const TokenSettings& settings,
                        const abi::ObjectHandle& handle, std::span<abi::CK_ATTRIBUTE> tmpl) {
    CardContext context(host);
    if (openApplication(context, login) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (isSessionHandle(handle)) return abi::CKR_FUNCTION_FAILED;
    ObjectFacts facts;
    return readAttributeValues(context, settings, userTypeOf(login), handleDirectory(handle), handle.record, tmpl,
                               facts, nullptr);
}

CK_RV getDefaultAttributes(abi::CK_ATTRIBUTE** attributes, uint32_t* count, uint32_t classNumber) {
    if (attributes == nullptr || count == nullptr) return abi::CKR_ARGUMENTS_BAD;
    abi::CK_ATTRIBUTE* array = nullptr;
    uint32_t exported = 0;
    if (!exportDefaultAttributes(classNumber, array, exported)) return abi::CKR_HOST_MEMORY;
    *attributes = array;
    *count = exported;
    return abi::CKR_OK;
}

CK_RV getChangeCounter(const abi::HostContext& host, uint32_t* counter) {
    if (counter == nullptr) return abi::CKR_ARGUMENTS_BAD;
    CardContext context(host);
    CountersBytes bytes{};
    if (card::selectApplicationSubdirectory(context) != result::kOk || readCounters(context, bytes) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    *counter = counters::readCounter(bytes, counters::kStoreChanges);
    return abi::CKR_OK;
}

CK_RV getObjectSize(const abi::ObjectHandle* handle, uint32_t* size) {
    // The card cannot tell an object's size cheaply; every object reports
    // the same nominal size.
    constexpr uint32_t kNominalObjectSize = 512;
    if (handle == nullptr || size == nullptr) return abi::CKR_ARGUMENTS_BAD;
    *size = kNominalObjectSize;
    return abi::CKR_OK;
}

CK_RV releaseSessionObjects(abi::HostContext* host, const abi::HostHandleList* handles) {
    if (host == nullptr) return abi::CKR_ARGUMENTS_BAD;
    abi::HostSessionTable* table = sessionTable(*host);
    if (table == nullptr || handles == nullptr) return abi::CKR_OK;
    if (handles->begin == nullptr || handles->end < handles->begin) return abi::CKR_OK;
    for (const abi::HostHandleBytes* item = handles->begin; item != handles->end; ++item) {
        if (item->begin == nullptr || item->end < item->begin || item->end - item->begin < 3) continue;
        const abi::ObjectHandle handle{item->begin[0], item->begin[1], item->begin[2]};
        if (isSessionHandle(handle)) (void)releaseSessionObject(table, handle.record);
    }
    return abi::CKR_OK;
}

}  // namespace korva::objects
