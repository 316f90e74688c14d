#include "objects/update_object.h"

#include "objects/attribute_kinds.h"
#include "objects/attribute_record.h"
#include "objects/bookkeeping.h"
#include "objects/container_map.h"
#include "objects/directory_files.h"
#include "common/wiped_bytes.h"

#include "card/files.h"
#include "card/records.h"
#include "card/select.h"
#include "card/templates.h"
#include "session/pin.h"

#include <algorithm>
#include <new>
#include <optional>
#include <span>

namespace korva::objects {

namespace {

using abi::CK_RV;

constexpr uint8_t kUserAccess = 0x12;
constexpr uint8_t kAlwaysAccess = 0x00;
// A data body keeps up to this much unused room before it is made smaller.
constexpr std::size_t kTolerableSurplus = 1024;
constexpr std::size_t kLargestBody = card::kBinaryOffsetLimit;

// The new data value an update carries (the first CKA_VALUE entry).
const abi::CK_ATTRIBUTE* newValueOf(std::span<const abi::CK_ATTRIBUTE> tmpl) {
    const auto entry = std::ranges::find(tmpl, abi::CKA_VALUE, &abi::CK_ATTRIBUTE::type);
    return entry == tmpl.end() ? nullptr : &*entry;
}

// Everything that can be judged without the card: the types the class may
// change, and values that can be read as they claim.
CK_RV checkTemplate(uint16_t directoryId, std::span<const abi::CK_ATTRIBUTE> tmpl) {
    for (const abi::CK_ATTRIBUTE& entry : tmpl) {
        if (!isUpdatableAttribute(directoryId, entry.type)) return abi::CKR_ATTRIBUTE_TYPE_INVALID;
    }
    for (const abi::CK_ATTRIBUTE& entry : tmpl) {
        const bool unreadable =
            entry.ulValueLen == abi::KORVA_UNAVAILABLE_LENGTH || (entry.pValue == nullptr && entry.ulValueLen != 0);
        if (unreadable) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    }
    const abi::CK_ATTRIBUTE* value = newValueOf(tmpl);
    if (value != nullptr && value->ulValueLen > kLargestBody - 2) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    return abi::CKR_OK;
}

struct StoredFacts {
    bool modifiable = true;
    uint8_t readAccess = kAlwaysAccess;
};

StoredFacts factsOf(std::span<const uint8_t> record) {
    StoredFacts facts;
    const RecordLookup modifiable = findInRecord(record, abi::CKA_MODIFIABLE);
    if (modifiable.result == LookupResult::Found && modifiable.value.size() == 1) {
        facts.modifiable = modifiable.value[0] != 0;
    }
    const RecordLookup isPrivate = findInRecord(record, abi::CKA_PRIVATE);
    if (isPrivate.result == LookupResult::Found && isPrivate.value.size() == 1 && isPrivate.value[0] == 1) {
        facts.readAccess = kUserAccess;
    }
    return facts;
}

// Rewrites the record with the template's values for the types it holds.
CK_RV updateRecordEntries(CardContext& context, const TokenSettings& settings, uint16_t directoryId, uint8_t number,
                          std::span<const abi::CK_ATTRIBUTE> tmpl, StoredFacts& facts) {
    if (selectDirectory(context, settings, directoryId) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    DirectoryRecord record;
    uint32_t length = 0;
    const CardResult read = readDirectoryRecord(context, number, record, length);
    if (read == result::kNotFound) return abi::CKR_OBJECT_HANDLE_INVALID;
    if (read != result::kOk || length < 4) return abi::CKR_FUNCTION_FAILED;
    const std::span<const uint8_t> stored(record.data(), length);
    if (isFreeRecord(stored)) return abi::CKR_OBJECT_HANDLE_INVALID;
    facts = factsOf(stored);

    DirectoryRecord rebuilt;
    bool changed = false;
    switch (rebuildRecord(stored, tmpl, rebuilt, changed)) {
        case RebuildResult::Ok: break;
        case RebuildResult::Malformed: return abi::CKR_FUNCTION_FAILED;
        case RebuildResult::TooLong: return abi::CKR_DEVICE_MEMORY;
        case RebuildResult::InvalidValue: return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (changed && card::updateRecord(context, number, rebuilt) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    return leaveDirectoryParent(context, settings, directoryId) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

// A data object's new value: the body is kept when it has room and not too
// much of it, else made again at the value's size.
CardResult rewriteDataBody(CardContext& context, uint16_t body, std::span<const uint8_t> value,
                           const StoredFacts& facts) {
    if (const CardResult rc = card::selectFile(context, body); rc != result::kOk) return rc;
    const uint32_t held = context.fci.fileSize;
    if (held == FileControlInfo::kAbsent) return result::kUnexpected;
    const std::size_t needed = value.size() + 2;
    std::size_t size = held;
    if (held < needed || held - needed > kTolerableSurplus) {
        if (const CardResult rc = card::deleteFile(context, body); rc != result::kOk) return rc;
        if (const CardResult rc = card::createTransparentFile(
                context, body, uint16_t(needed), card::TransparentProfile::kSecond, facts.readAccess, kUserAccess);
            rc != result::kOk) {
            return rc;
        }
        size = needed;
    }
    if (size > kLargestBody) return result::kUnexpected;
    WipedBytes content(size, 0);
    content[0] = uint8_t(value.size() >> 8);
    content[1] = uint8_t(value.size());
    std::copy(value.begin(), value.end(), content.begin() + 2);
    return card::updateBinary(context, 0, content);
}

CK_RV update(const abi::HostContext& host, const abi::LoginRecord* login, const TokenSettings& settings,
             uint16_t directoryId, uint8_t number, std::span<const abi::CK_ATTRIBUTE> tmpl) {
    CardContext context(host);
    if (card::selectApplicationSubdirectory(context) != result::kOk ||
        token::loginWith(context, login) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    // Other software watching the card re-reads it after any update.
    if (bumpChangeCounters(context) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    StoredFacts facts;
    if (const CK_RV rv = updateRecordEntries(context, settings, directoryId, number, tmpl, facts); rv != abi::CKR_OK) {
        return rv;
    }
    const ClassLayout& layout = *layoutForDirectory(directoryId);
    if (layout.objectClass == ObjectClass::PublicKey &&
        renameContainerMapEntry(context, tmpl, number - 1u) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    const abi::CK_ATTRIBUTE* value = newValueOf(tmpl);
    if (layout.objectClass != ObjectClass::Data || value == nullptr) return abi::CKR_OK;
    if (!facts.modifiable) return abi::CKR_ATTRIBUTE_READ_ONLY;
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(value->pValue), value->ulValueLen);
    return rewriteDataBody(context, bodyFileId(layout.bodyPrefix, number), bytes, facts) == result::kOk
               ? abi::CKR_OK
               : abi::CKR_FUNCTION_FAILED;
}

}  // namespace

CK_RV setAttributes(const abi::HostContext& host, const abi::LoginRecord* login,
                    const std::optional<TokenSettings>& settings, const abi::ObjectHandle& handle,
                    std::span<const abi::CK_ATTRIBUTE> changes) {
    const uint16_t directoryId = handleDirectory(handle);
    // Session objects and unknown directories have nothing to change, even
    // with an empty template.
    if (layoutForDirectory(directoryId) == nullptr) return abi::CKR_ATTRIBUTE_TYPE_INVALID;
    if (const CK_RV rv = checkTemplate(directoryId, changes); rv != abi::CKR_OK) return rv;
    if (handle.record == 0) return abi::CKR_OBJECT_HANDLE_INVALID;
    if (!settings) return abi::CKR_ARGUMENTS_BAD;
    try {
        return update(host, login, *settings, directoryId, handle.record, changes);
    } catch (const std::bad_alloc&) {
        return abi::CKR_HOST_MEMORY;
    }
}

}  // namespace korva::objects
