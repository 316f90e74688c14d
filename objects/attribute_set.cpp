#include "objects/attribute_set.h"

#include "objects/attribute_kinds.h"
#include "objects/attribute_record.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace korva::objects {

using abi::CK_ATTRIBUTE;

// ---------------------------------------------------------------------------
// AttributeSet

bool AttributeSet::append(Entry&& entry) noexcept {
    try {
        entries_.push_back(std::move(entry));
        return true;
    } catch (const std::bad_alloc&) {
        clear();
        return false;
    }
}

bool AttributeSet::add(uint32_t type, const void* value, uint32_t length) noexcept {
    Entry entry;
    entry.type = type;
    entry.length = length;
    if (value != nullptr && length != kUnavailableLength) {
        try {
            const auto* bytes = static_cast<const uint8_t*>(value);
            entry.value.assign(bytes, bytes + length);
        } catch (const std::bad_alloc&) {
            clear();
            return false;
        }
        entry.hasValue = true;
    }
    return append(std::move(entry));
}

bool AttributeSet::addBytes(uint32_t type, std::span<const uint8_t> value) noexcept {
    // An empty span may have no data pointer; it is still an (empty) value.
    static constexpr uint8_t kNothing = 0;
    return add(type, value.empty() ? &kNothing : value.data(), uint32_t(value.size()));
}

bool AttributeSet::addBoolean(uint32_t type, bool value) noexcept {
    const uint8_t byte = value ? 1 : 0;
    return add(type, &byte, 1);
}

bool AttributeSet::addNumber(uint32_t type, uint32_t value) noexcept { return add(type, &value, sizeof value); }

bool AttributeSet::load(std::span<const CK_ATTRIBUTE> attributes) noexcept {
    for (const CK_ATTRIBUTE& attribute : attributes)
        if (!add(attribute.type, attribute.pValue, attribute.ulValueLen)) return false;
    return true;
}

bool AttributeSet::complete() noexcept {
    for (uint32_t type : kStandardAttributes) {
        if (contains(type)) continue;
        bool added = true;
        switch (attributeTraits(type).fallback) {
            case AttributeDefault::False: added = addBoolean(type, false); break;
            case AttributeDefault::True: added = addBoolean(type, true); break;
            case AttributeDefault::Empty: added = add(type, nullptr, 0); break;
            case AttributeDefault::None: break;
        }
        if (!added) return false;
    }
    return true;
}

const AttributeSet::Entry* AttributeSet::find(uint32_t type) const noexcept {
    for (const Entry& entry : entries_)
        if (entry.type == type) return &entry;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Host arrays

void wipeAndFree(void* buffer, std::size_t length) noexcept {
    if (buffer == nullptr) return;
    OPENSSL_cleanse(buffer, length);
    std::free(buffer);
}

void releaseAttributeArray(CK_ATTRIBUTE* array, uint32_t count) noexcept {
    if (array == nullptr || count == 0) return;
    for (uint32_t i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& entry = array[i];
        if (entry.pValue != nullptr && entry.ulValueLen != 0 && entry.ulValueLen != kUnavailableLength)
            wipeAndFree(entry.pValue, entry.ulValueLen);
    }
    std::free(array);
}

bool exportAttributes(const AttributeSet& set, CK_ATTRIBUTE*& array, uint32_t& count) noexcept {
    if (set.empty()) {
        array = nullptr;
        count = 0;
        return true;
    }
    const std::size_t n = set.size();
    auto* out = static_cast<CK_ATTRIBUTE*>(std::calloc(n, sizeof(CK_ATTRIBUTE)));
    if (out == nullptr) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const AttributeSet::Entry& entry = set.entries()[i];
        out[i].type = entry.type;
        out[i].ulValueLen = entry.length;
        out[i].pValue = nullptr;
        if (!entry.hasValue || entry.length == 0 || entry.length == kUnavailableLength) continue;
        void* copy = std::malloc(entry.length);
        if (copy == nullptr) {
            releaseAttributeArray(out, uint32_t(i));  // entries before i are complete
            return false;
        }
        std::memcpy(copy, entry.value.data(), entry.length);
        out[i].pValue = copy;
    }
    array = out;
    count = uint32_t(n);
    return true;
}

bool exportDefaultAttributes(uint32_t classNumber, CK_ATTRIBUTE*& array, uint32_t& count) noexcept {
    AttributeSet set;
    for (uint32_t type : classDefaultAttributes(classNumber))
        if (!set.addBoolean(type, attributeTraits(type).fallback == AttributeDefault::True)) return false;
    if (!set.add(abi::CKA_LABEL, nullptr, 0)) return false;
    return exportAttributes(set, array, count);
}

// ---------------------------------------------------------------------------
// Template filling

const DerivedValue* DerivedValues::forType(uint32_t type) const noexcept {
    switch (type) {
        case abi::CKA_VALUE:
        case abi::CKA_EC_POINT: return &value;
        case abi::CKA_MODULUS: return &modulus;
        case abi::CKA_PUBLIC_EXPONENT: return &publicExponent;
        case abi::CKA_PRIME_1: return &prime1;
        case abi::CKA_PRIME_2: return &prime2;
        case abi::CKA_EXPONENT_1: return &exponent1;
        case abi::CKA_EXPONENT_2: return &exponent2;
        case abi::CKA_COEFFICIENT: return &coefficient;
        case abi::CKA_SUBJECT: return &subject;
        case abi::CKA_ISSUER: return &issuer;
        case abi::CKA_SERIAL_NUMBER: return &serialNumber;
        default: return nullptr;
    }
}

namespace {

// Outcome of one template entry.
enum class EntryOutcome : uint8_t { Ok, TypeInvalid, BufferTooSmall, Malformed };

EntryOutcome fail(CK_ATTRIBUTE& entry, EntryOutcome outcome) {
    entry.ulValueLen = kUnavailableLength;
    return outcome;
}

EntryOutcome fillClass(CK_ATTRIBUTE& entry, uint32_t classNumber) {
    if (entry.pValue != nullptr) {
        if (entry.ulValueLen < sizeof classNumber) return fail(entry, EntryOutcome::BufferTooSmall);
        std::memcpy(entry.pValue, &classNumber, sizeof classNumber);
    }
    entry.ulValueLen = sizeof classNumber;
    return EntryOutcome::Ok;
}

EntryOutcome fillDerived(CK_ATTRIBUTE& entry, const DerivedValue& derived) {
    if (derived.length == kUnavailableLength || (derived.data == nullptr && derived.length != 0))
        return fail(entry, EntryOutcome::TypeInvalid);
    if (entry.pValue != nullptr) {
        if (entry.ulValueLen < derived.length) return fail(entry, EntryOutcome::BufferTooSmall);
        if (derived.length != 0) std::memcpy(entry.pValue, derived.data, derived.length);
    }
    entry.ulValueLen = derived.length;
    return EntryOutcome::Ok;
}

EntryOutcome fillStored(CK_ATTRIBUTE& entry, std::span<const uint8_t> stored) {
    AttributeKind kind = attributeTraits(entry.type).kind;
    // A stored value whose width does not suit its kind (a record written by
    // other software) is answered as the bytes it is, never read past.
    const uint32_t width = fixedWidth(kind);
    if (width != 0 && stored.size() != width) kind = AttributeKind::ByteString;
    if (entry.pValue == nullptr) {
        entry.ulValueLen = uint32_t(stored.size());
        return EntryOutcome::Ok;
    }
    if (kind == AttributeKind::Unsupported) return fail(entry, EntryOutcome::TypeInvalid);
    const uint32_t needed = uint32_t(stored.size());  // equals the width of a fixed-width kind here
    if (entry.ulValueLen < needed) return fail(entry, EntryOutcome::BufferTooSmall);
    auto* out = static_cast<uint8_t*>(entry.pValue);
    if (kind == AttributeKind::Boolean) {
        out[0] = stored[0] != 0 ? 1 : 0;
    } else if (kind == AttributeKind::Number) {
        const uint32_t number = readBigEndian32(stored.data());
        std::memcpy(out, &number, sizeof number);
    } else if (needed != 0) {
        std::memcpy(out, stored.data(), needed);
    }
    entry.ulValueLen = needed;
    return EntryOutcome::Ok;
}

EntryOutcome fillDefault(CK_ATTRIBUTE& entry) {
    const AttributeDefault fallback = attributeTraits(entry.type).fallback;
    switch (fallback) {
        case AttributeDefault::None: return fail(entry, EntryOutcome::TypeInvalid);
        case AttributeDefault::Empty: entry.ulValueLen = 0; return EntryOutcome::Ok;
        case AttributeDefault::False:
        case AttributeDefault::True:
            if (entry.pValue != nullptr) {
                if (entry.ulValueLen == 0) return fail(entry, EntryOutcome::BufferTooSmall);
                *static_cast<uint8_t*>(entry.pValue) = fallback == AttributeDefault::True ? 1 : 0;
            }
            entry.ulValueLen = 1;
            return EntryOutcome::Ok;
    }
    return fail(entry, EntryOutcome::TypeInvalid);
}

EntryOutcome fillEntry(CK_ATTRIBUTE& entry, uint32_t classNumber, std::span<const uint8_t> record,
                       const DerivedValues& derived) {
    if (entry.type == abi::CKA_CLASS) return fillClass(entry, classNumber);
    if (const DerivedValue* value = derived.forType(entry.type)) return fillDerived(entry, *value);
    if (record.size() > 4) {
        const RecordLookup lookup = findInRecord(record, entry.type);
        if (lookup.result == LookupResult::Malformed) return EntryOutcome::Malformed;
        if (lookup.result == LookupResult::Found) return fillStored(entry, lookup.value);
    }
    return fillDefault(entry);
}

}  // namespace

FillResult fillTemplate(std::span<CK_ATTRIBUTE> tmpl, uint32_t classNumber, std::span<const uint8_t> record,
                        const DerivedValues& derived) noexcept {
    FillResult result = FillResult::Ok;
    for (CK_ATTRIBUTE& entry : tmpl) {
        switch (fillEntry(entry, classNumber, record, derived)) {
            case EntryOutcome::Ok: break;
            case EntryOutcome::TypeInvalid: result = FillResult::TypeInvalid; break;
            case EntryOutcome::BufferTooSmall: result = FillResult::BufferTooSmall; break;
            case EntryOutcome::Malformed: return FillResult::MalformedRecord;
        }
    }
    return result;
}

}  // namespace korva::objects
