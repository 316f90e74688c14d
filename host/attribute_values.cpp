#include "host/attribute_values.h"

#include "host/attribute_types.h"

#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace korva::host {
namespace {

constexpr size_t kStoredNumber = 4;

void putLittleEndian(WipedBytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t getLittleEndian(std::span<const uint8_t> bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < kStoredNumber; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return value;
}

bool fitsStoredNumber(unsigned long value) { return value <= std::numeric_limits<uint32_t>::max(); }

ck_rv_t narrowNumbers(const void* value, unsigned long length, WipedBytes& out) {
    if (length % sizeof(unsigned long) != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    for (unsigned long at = 0; at < length; at += sizeof(unsigned long)) {
        unsigned long number = 0;
        std::memcpy(&number, static_cast<const uint8_t*>(value) + at, sizeof number);
        if (!fitsStoredNumber(number)) return CKR_ATTRIBUTE_VALUE_INVALID;
        putLittleEndian(out, static_cast<uint32_t>(number));
    }
    return CKR_OK;
}

ck_rv_t narrowList(const void* value, unsigned long length, WipedBytes& out) {
    if (length % sizeof(ck_attribute) != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    const auto* entries = static_cast<const ck_attribute*>(value);
    for (unsigned long i = 0; i < length / sizeof(ck_attribute); ++i) {
        const ck_attribute& entry = entries[i];
        const ValueKind kind = valueKind(entry.type);
        if (kind == ValueKind::AttributeList || !fitsStoredNumber(entry.type)) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (entry.value == nullptr && entry.value_len != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        WipedBytes own;
        if (kind == ValueKind::Number || kind == ValueKind::NumberList) {
            if (kind == ValueKind::Number && entry.value_len != sizeof(unsigned long))
                return CKR_ATTRIBUTE_VALUE_INVALID;
            if (const ck_rv_t rv = narrowNumbers(entry.value, entry.value_len, own); rv != CKR_OK) return rv;
        } else if (entry.value_len != 0) {
            if (!fitsStoredNumber(entry.value_len)) return CKR_ATTRIBUTE_VALUE_INVALID;
            own.assign(static_cast<const uint8_t*>(entry.value),
                       static_cast<const uint8_t*>(entry.value) + entry.value_len);
        }
        putLittleEndian(out, static_cast<uint32_t>(entry.type));
        putLittleEndian(out, static_cast<uint32_t>(own.size()));
        out.insert(out.end(), own.begin(), own.end());
    }
    return CKR_OK;
}

// The stored numbers in the application's width.
std::vector<unsigned long> wideNumbers(std::span<const uint8_t> stored) {
    std::vector<unsigned long> numbers;
    for (size_t at = 0; at + kStoredNumber <= stored.size(); at += kStoredNumber)
        numbers.push_back(getLittleEndian(stored.subspan(at)));
    return numbers;
}

// Copies `bytes` into the target by the standard's length rules.
ck_rv_t give(const void* bytes, unsigned long length, ck_attribute& target) {
    if (target.value == nullptr) {
        target.value_len = length;
        return CKR_OK;
    }
    if (target.value_len < length) {
        target.value_len = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (length != 0) std::memcpy(target.value, bytes, length);
    target.value_len = length;
    return CKR_OK;
}

struct StoredEntry {
    uint32_t type;
    std::span<const uint8_t> value;
};

// The entries of a stored list; nothing for bytes that are not one.
std::optional<std::vector<StoredEntry>> storedEntries(std::span<const uint8_t> stored) {
    std::vector<StoredEntry> entries;
    while (!stored.empty()) {
        if (stored.size() < 2 * kStoredNumber) return std::nullopt;
        const uint32_t type = getLittleEndian(stored);
        const uint32_t length = getLittleEndian(stored.subspan(kStoredNumber));
        stored = stored.subspan(2 * kStoredNumber);
        if (length > stored.size()) return std::nullopt;
        entries.push_back({type, stored.first(length)});
        stored = stored.subspan(length);
    }
    return entries;
}

ck_rv_t widenList(std::span<const uint8_t> stored, ck_attribute& target) {
    const auto entries = storedEntries(stored);
    if (!entries) return CKR_GENERAL_ERROR;
    const unsigned long length = entries->size() * sizeof(ck_attribute);
    if (target.value == nullptr) {
        target.value_len = length;
        return CKR_OK;
    }
    if (target.value_len < length) {
        target.value_len = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    auto* nested = static_cast<ck_attribute*>(target.value);
    ck_rv_t rv = CKR_OK;
    for (size_t i = 0; i < entries->size(); ++i) {
        nested[i].type = (*entries)[i].type;
        const ck_rv_t one = widenValue((*entries)[i].value, nested[i]);
        if (one != CKR_OK) rv = one;
    }
    target.value_len = length;
    return rv;
}

}  // namespace

bool convertsList(ck_attribute_type_t type) {
    const ValueKind kind = valueKind(type);
    return kind == ValueKind::NumberList || kind == ValueKind::AttributeList;
}

ck_rv_t narrowValue(ck_attribute_type_t type, const void* value, unsigned long length, WipedBytes& out) {
    out.clear();
    if (valueKind(type) == ValueKind::AttributeList) return narrowList(value, length, out);
    return narrowNumbers(value, length, out);
}

ck_rv_t widenValue(std::span<const uint8_t> stored, ck_attribute& target) {
    switch (valueKind(target.type)) {
        case ValueKind::AttributeList: return widenList(stored, target);
        case ValueKind::Number:
        case ValueKind::NumberList: {
            const std::vector<unsigned long> numbers = wideNumbers(stored);
            return give(numbers.data(), numbers.size() * sizeof(unsigned long), target);
        }
        default: return give(stored.data(), stored.size(), target);
    }
}

}  // namespace korva::host
