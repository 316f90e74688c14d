#include "objects/attribute_record.h"

#include "objects/attribute_kinds.h"
#include "objects/attribute_set.h"

#include <algorithm>
#include <cstring>

namespace korva::objects {

namespace {

bool allZero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// How one template entry goes into a record, or why it cannot.
struct PlannedEntry {
    bool stored = false;  // false: skipped without complaint
    bool readable = true;
    AttributeKind kind = AttributeKind::Unsupported;
    uint32_t length = 0;  // stored length
};

PlannedEntry planEntry(const abi::CK_ATTRIBUTE& attribute) {
    const AttributeTraits traits = attributeTraits(attribute.type);
    if (traits.neverStored || traits.kind == AttributeKind::Unsupported) return {};
    const AttributeClassification c = classifyAttribute(attribute.type, attribute.ulValueLen);
    PlannedEntry plan{true, true, c.kind, c.storedLength};
    const bool hasValue = attribute.pValue != nullptr;
    switch (c.kind) {
        case AttributeKind::Boolean: plan.readable = hasValue && attribute.ulValueLen >= 1; break;
        case AttributeKind::Number: plan.readable = hasValue && attribute.ulValueLen >= 4; break;
        // A date is the 8 bytes of a CK_DATE; anything else would either be
        // read past its end or stored in a form no reader expects.
        case AttributeKind::Date: plan.readable = hasValue && attribute.ulValueLen == 8; break;
        default: plan.readable = hasValue || attribute.ulValueLen == 0; break;
    }
    return plan;
}

void writeEntry(const abi::CK_ATTRIBUTE& attribute, const PlannedEntry& plan, uint8_t* out) {
    writeBigEndian32(out, attribute.type);
    out[4] = uint8_t(plan.length);
    uint8_t* value = out + kEntryHeaderSize;
    const auto* given = static_cast<const uint8_t*>(attribute.pValue);
    switch (plan.kind) {
        case AttributeKind::Boolean: value[0] = given[0] == 1 ? 1 : 0; break;
        case AttributeKind::Number: {
            uint32_t number;
            std::memcpy(&number, given, sizeof number);
            writeBigEndian32(value, number);
            break;
        }
        default:
            if (plan.length != 0) std::memcpy(value, given, plan.length);
            break;
    }
}

}  // namespace

uint32_t readBigEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

void writeBigEndian32(uint8_t* bytes, uint32_t value) {
    bytes[0] = uint8_t(value >> 24);
    bytes[1] = uint8_t(value >> 16);
    bytes[2] = uint8_t(value >> 8);
    bytes[3] = uint8_t(value);
}

bool isFreeRecord(std::span<const uint8_t> record) { return record.size() >= 4 && allZero(record.first(4)); }

RecordLookup findInRecord(std::span<const uint8_t> record, uint32_t type) {
    if (record.size() <= 4) return {};
    std::size_t offset = 0;
    for (;;) {
        const std::size_t remaining = record.size() - offset;
        // A record whose entries end 1 to 4 bytes before its end is still
        // whole when those bytes are its zero padding; the module writes
        // such records itself.
        if (remaining < kEntryHeaderSize)
            return {allZero(record.subspan(offset)) ? LookupResult::Absent : LookupResult::Malformed, {}};
        const uint8_t length = record[offset + 4];
        if (length > remaining - kEntryHeaderSize) return {LookupResult::Malformed, {}};
        const uint32_t entryType = readBigEndian32(&record[offset]);
        if (entryType == 0) return {};
        if (entryType == type) return {LookupResult::Found, record.subspan(offset + kEntryHeaderSize, length)};
        offset += kEntryHeaderSize + length;
        if (offset >= record.size()) return {};
    }
}

EntryResult nextEntry(std::span<const uint8_t>& rest, RecordEntry& entry) {
    if (rest.size() < 4) return EntryResult::End;
    const uint32_t type = readBigEndian32(rest.data());
    if (type == 0) return EntryResult::End;
    if (rest.size() < kEntryHeaderSize) return EntryResult::Malformed;
    const uint8_t length = rest[4];
    if (length > rest.size() - kEntryHeaderSize) return EntryResult::Malformed;
    entry.type = type;
    entry.value = rest.subspan(kEntryHeaderSize, length);
    rest = rest.subspan(kEntryHeaderSize + length);
    return EntryResult::Entry;
}

DecodeResult decodeRecord(std::span<const uint8_t> record, AttributeSet& set) {
    std::span<const uint8_t> rest = record;
    RecordEntry entry;
    for (;;) {
        switch (nextEntry(rest, entry)) {
            case EntryResult::End: return DecodeResult::Ok;
            case EntryResult::Malformed: return DecodeResult::Malformed;
            case EntryResult::Entry: break;
        }
        const AttributeKind kind = attributeTraits(entry.type).kind;
        const bool fitsKind = entry.value.size() == fixedWidth(kind);
        bool added;
        if (kind == AttributeKind::Boolean && fitsKind) {
            added = set.addBoolean(entry.type, entry.value[0] != 0);
        } else if (kind == AttributeKind::Number && fitsKind) {
            added = set.addNumber(entry.type, readBigEndian32(entry.value.data()));
        } else {
            added = set.addBytes(entry.type, entry.value);
        }
        if (!added) return DecodeResult::OutOfMemory;
    }
}

RecordSize measureRecord(std::span<const abi::CK_ATTRIBUTE> tmpl) {
    // 64-bit sum: a byte string may claim a length near 2^32.
    uint64_t total = 0;
    bool representable = true;
    for (const abi::CK_ATTRIBUTE& attribute : tmpl) {
        const PlannedEntry plan = planEntry(attribute);
        if (!plan.stored) continue;
        if (!plan.readable) return {EncodeResult::InvalidValue, 0};
        if (plan.length > kMaxStoredValueLength) representable = false;
        total += kEntryHeaderSize + uint64_t(plan.length);
    }
    const std::size_t size = total > SIZE_MAX ? SIZE_MAX : std::size_t(total);
    return {representable ? EncodeResult::Ok : EncodeResult::TooLong, size};
}

EncodeResult encodeRecord(std::span<const abi::CK_ATTRIBUTE> tmpl, std::span<uint8_t> out, std::size_t& size) {
    const RecordSize measured = measureRecord(tmpl);
    size = measured.size;
    if (measured.result != EncodeResult::Ok) return measured.result;
    if (measured.size > out.size()) return EncodeResult::TooLong;
    std::size_t offset = 0;
    for (const abi::CK_ATTRIBUTE& attribute : tmpl) {
        const PlannedEntry plan = planEntry(attribute);
        if (!plan.stored) continue;
        writeEntry(attribute, plan, out.data() + offset);
        offset += kEntryHeaderSize + plan.length;
    }
    return EncodeResult::Ok;
}

EncodeResult encodeDirectoryRecord(std::span<const abi::CK_ATTRIBUTE> tmpl, DirectoryRecord& record,
                                   std::size_t& size) {
    record.fill(0);
    return encodeRecord(tmpl, record, size);
}

RebuildResult rebuildRecord(std::span<const uint8_t> record, std::span<const abi::CK_ATTRIBUTE> changes,
                            DirectoryRecord& out, bool& changed) {
    out.fill(0);
    changed = false;
    std::size_t offset = 0;
    std::span<const uint8_t> rest = record;
    RecordEntry entry;
    for (;;) {
        const EntryResult next = nextEntry(rest, entry);
        if (next == EntryResult::End) return RebuildResult::Ok;
        if (next == EntryResult::Malformed) return RebuildResult::Malformed;
        std::span<const uint8_t> value = entry.value;
        const auto replacement = std::find_if(changes.begin(), changes.end(),
                                              [&](const abi::CK_ATTRIBUTE& c) { return c.type == entry.type; });
        if (replacement != changes.end()) {
            if (replacement->ulValueLen > kMaxStoredValueLength) return RebuildResult::TooLong;
            if (replacement->ulValueLen != 0 && replacement->pValue == nullptr) return RebuildResult::InvalidValue;
            value = {static_cast<const uint8_t*>(replacement->pValue), replacement->ulValueLen};
            changed = true;
        }
        if (offset + kEntryHeaderSize + value.size() > out.size()) return RebuildResult::TooLong;
        writeBigEndian32(&out[offset], entry.type);
        out[offset + 4] = uint8_t(value.size());
        std::copy(value.begin(), value.end(), out.begin() + std::ptrdiff_t(offset + kEntryHeaderSize));
        offset += kEntryHeaderSize + value.size();
    }
}

}  // namespace korva::objects
