#include "host/attributes.h"

#include "host/attribute_types.h"
#include "host/attribute_values.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace korva::host {
namespace {

constexpr size_t kModuleNumber = sizeof(abi::CK_ULONG);
constexpr size_t kApplicationNumber = sizeof(unsigned long);
// Room for a number or attribute list read back: more than a card record holds.
constexpr abi::CK_ULONG kListCapacity = 4096;

unsigned long widen(const void* value) {
    abi::CK_ULONG narrow = 0;
    std::memcpy(&narrow, value, kModuleNumber);
    return narrow;
}

}  // namespace

bool holdsNumber(ck_attribute_type_t type) { return valueKind(type) == ValueKind::Number; }

bool holdsNumberArray(ck_attribute_type_t type) { return valueKind(type) == ValueKind::NumberList; }

ck_rv_t ModuleTemplate::copyFrom(const ck_attribute* attributes, unsigned long count) {
    if (count != 0 && attributes == nullptr) return CKR_ARGUMENTS_BAD;
    if (count > 0xFFFF) return CKR_ARGUMENTS_BAD;
    entries_.assign(count, abi::CK_ATTRIBUTE{});
    values_.assign(count, WipedBytes{});
    for (unsigned long i = 0; i < count; ++i) {
        const ck_attribute& given = attributes[i];
        if (given.type > std::numeric_limits<abi::CK_ULONG>::max()) return CKR_ATTRIBUTE_TYPE_INVALID;
        abi::CK_ATTRIBUTE& entry = entries_[i];
        entry.type = static_cast<abi::CK_ATTRIBUTE_TYPE>(given.type);
        if (given.value_len == CK_UNAVAILABLE_INFORMATION) {
            entry.ulValueLen = abi::KORVA_UNAVAILABLE_LENGTH;
            continue;
        }
        if (given.value == nullptr) {
            if (given.value_len != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
            continue;
        }
        if (given.value_len >= abi::KORVA_UNAVAILABLE_LENGTH) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (valueKind(given.type) == ValueKind::Boolean && given.value_len != 1) return CKR_ATTRIBUTE_VALUE_INVALID;
        WipedBytes& value = values_[i];
        const auto* bytes = static_cast<const uint8_t*>(given.value);
        if (convertsList(given.type)) {
            if (const ck_rv_t rv = narrowValue(given.type, given.value, given.value_len, value); rv != CKR_OK)
                return rv;
        } else if (holdsNumber(given.type)) {
            if (given.value_len != kApplicationNumber) return CKR_ATTRIBUTE_VALUE_INVALID;
            unsigned long wide = 0;
            std::memcpy(&wide, bytes, kApplicationNumber);
            if (wide > std::numeric_limits<abi::CK_ULONG>::max()) return CKR_ATTRIBUTE_VALUE_INVALID;
            const auto narrow = static_cast<abi::CK_ULONG>(wide);
            const auto* narrowBytes = reinterpret_cast<const uint8_t*>(&narrow);
            value.assign(narrowBytes, narrowBytes + kModuleNumber);
        } else {
            value.assign(bytes, bytes + given.value_len);
        }
        entry.pValue = value.data();
        entry.ulValueLen = static_cast<abi::CK_ULONG>(value.size());
    }
    return CKR_OK;
}

void ModuleTemplate::setValue(abi::CK_ATTRIBUTE_TYPE type, std::span<const uint8_t> moduleValue, bool replace) {
    size_t at = 0;
    while (at < entries_.size() && entries_[at].type != type) ++at;
    if (at < entries_.size() && !replace) return;
    if (at == entries_.size()) {
        entries_.push_back({type, nullptr, 0});
        values_.emplace_back();
    }
    values_[at].assign(moduleValue.begin(), moduleValue.end());
    // The values may have moved: point every entry at its own again.
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (values_[i].empty() && i != at) continue;
        entries_[i].pValue = values_[i].empty() ? nullptr : values_[i].data();
        entries_[i].ulValueLen = static_cast<abi::CK_ULONG>(values_[i].size());
    }
}

void ModuleTemplate::addIfAbsent(ck_attribute_type_t type, std::span<const uint8_t> moduleValue) {
    setValue(static_cast<abi::CK_ATTRIBUTE_TYPE>(type), moduleValue, false);
}

void ModuleTemplate::merge(const ModuleTemplate& changes) {
    for (const abi::CK_ATTRIBUTE& entry : changes.entries_) {
        const auto* bytes = static_cast<const uint8_t*>(entry.pValue);
        const size_t length =
            bytes == nullptr || entry.ulValueLen == abi::KORVA_UNAVAILABLE_LENGTH ? 0 : entry.ulValueLen;
        setValue(entry.type, {bytes, length}, true);
    }
}

size_t ModuleTemplate::valueBytes() const {
    size_t total = 0;
    for (const WipedBytes& value : values_) total += value.size();
    return total;
}

void ModuleTemplate::addIfAbsent(ck_attribute_type_t type, abi::CK_ULONG number) {
    addIfAbsent(type, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&number), sizeof number));
}

void ModuleTemplate::addIfAbsent(ck_attribute_type_t type, bool value) {
    const uint8_t byte = value ? 1 : 0;
    addIfAbsent(type, std::span<const uint8_t>(&byte, 1));
}

ck_rv_t ModuleTemplate::prepareToFill(const ck_attribute* attributes, unsigned long count) {
    if (count != 0 && attributes == nullptr) return CKR_ARGUMENTS_BAD;
    if (count > 0xFFFF) return CKR_ARGUMENTS_BAD;
    entries_.assign(count, abi::CK_ATTRIBUTE{});
    values_.assign(count, WipedBytes{});
    skipped_.assign(count, false);
    converted_.assign(count, false);
    ck_rv_t rv = CKR_OK;
    for (unsigned long i = 0; i < count; ++i) {
        const ck_attribute& given = attributes[i];
        abi::CK_ATTRIBUTE& entry = entries_[i];
        // A type beyond 32 bits cannot exist in the token: ask for an
        // attribute no object has, which the module reports as invalid.
        entry.type = given.type > std::numeric_limits<abi::CK_ULONG>::max()
                         ? static_cast<abi::CK_ATTRIBUTE_TYPE>(CKA_VENDOR_DEFINED | 0x7FFFFFFF)
                         : static_cast<abi::CK_ATTRIBUTE_TYPE>(given.type);
        if (convertsList(given.type)) {
            // Read whole into a buffer of this object, whatever the application
            // asks: its length in the application's layout follows from it.
            converted_[i] = true;
            values_[i].assign(kListCapacity, 0);
            entry.pValue = values_[i].data();
            entry.ulValueLen = kListCapacity;
            continue;
        }
        if (given.value == nullptr) continue;
        if (holdsNumber(given.type)) {
            if (given.value_len < kApplicationNumber) {
                skipped_[i] = true;
                rv = CKR_BUFFER_TOO_SMALL;
                // Ask for a length only: the module still reports whether the
                // type exists, so that the template gets every other answer.
                continue;
            }
            values_[i].assign(kModuleNumber, 0);
            entry.pValue = values_[i].data();
            entry.ulValueLen = kModuleNumber;
        } else {
            entry.pValue = given.value;
            entry.ulValueLen =
                static_cast<abi::CK_ULONG>(std::min<unsigned long>(given.value_len, abi::KORVA_UNAVAILABLE_LENGTH - 1));
        }
    }
    return rv;
}

ck_rv_t ModuleTemplate::returnTo(ck_attribute* attributes, unsigned long count) const {
    ck_rv_t rv = CKR_OK;
    for (unsigned long i = 0; i < count && i < entries_.size(); ++i) {
        const abi::CK_ATTRIBUTE& entry = entries_[i];
        ck_attribute& target = attributes[i];
        if (skipped_[i] || entry.ulValueLen == abi::KORVA_UNAVAILABLE_LENGTH) {
            target.value_len = CK_UNAVAILABLE_INFORMATION;
        } else if (converted_[i]) {
            const ck_rv_t one =
                widenValue({values_[i].data(), std::min<size_t>(entry.ulValueLen, values_[i].size())}, target);
            if (one != CKR_OK) rv = one;
        } else if (holdsNumber(target.type) && entry.ulValueLen == kModuleNumber) {
            if (target.value != nullptr) {
                const unsigned long wide = widen(entry.pValue);
                std::memcpy(target.value, &wide, kApplicationNumber);
            }
            target.value_len = kApplicationNumber;
        } else {
            target.value_len = entry.ulValueLen;
        }
    }
    return rv;
}

std::optional<bool> ModuleTemplate::boolean(ck_attribute_type_t type) const {
    for (const abi::CK_ATTRIBUTE& entry : entries_) {
        if (entry.type != type) continue;
        if (entry.pValue == nullptr || entry.ulValueLen != 1) return std::nullopt;
        return *static_cast<const uint8_t*>(entry.pValue) != 0;
    }
    return std::nullopt;
}

std::optional<unsigned long> ModuleTemplate::number(ck_attribute_type_t type) const {
    for (const abi::CK_ATTRIBUTE& entry : entries_) {
        if (entry.type != type) continue;
        if (entry.pValue == nullptr || entry.ulValueLen != kModuleNumber) return std::nullopt;
        return widen(entry.pValue);
    }
    return std::nullopt;
}

std::optional<std::span<const uint8_t>> AttributeView::find(ck_attribute_type_t type) const {
    for (abi::CK_ULONG i = 0; i < count_; ++i) {
        const abi::CK_ATTRIBUTE& entry = items_[i];
        if (entry.type != type) continue;
        if (entry.ulValueLen == abi::KORVA_UNAVAILABLE_LENGTH) return std::nullopt;
        if (entry.pValue == nullptr) return std::span<const uint8_t>();
        return std::span<const uint8_t>(static_cast<const uint8_t*>(entry.pValue), entry.ulValueLen);
    }
    return std::nullopt;
}

bool AttributeView::matches(const ck_attribute* attributes, unsigned long count) const {
    for (unsigned long i = 0; i < count; ++i) {
        const ck_attribute& wanted = attributes[i];
        const auto stored = find(wanted.type);
        if (!stored) return false;
        if (holdsNumber(wanted.type)) {
            if (wanted.value == nullptr || wanted.value_len != kApplicationNumber || stored->size() != kModuleNumber)
                return false;
            unsigned long value = 0;
            std::memcpy(&value, wanted.value, kApplicationNumber);
            if (value != widen(stored->data())) return false;
            continue;
        }
        if (convertsList(wanted.type)) {
            WipedBytes narrowed;
            if (narrowValue(wanted.type, wanted.value, wanted.value_len, narrowed) != CKR_OK) return false;
            if (!std::equal(narrowed.begin(), narrowed.end(), stored->begin(), stored->end())) return false;
            continue;
        }
        if (wanted.value_len != stored->size()) return false;
        if (!stored->empty() &&
            (wanted.value == nullptr || std::memcmp(wanted.value, stored->data(), stored->size()) != 0))
            return false;
    }
    return true;
}

ck_rv_t AttributeView::fill(ck_attribute* attributes, unsigned long count,
                            std::optional<ck_attribute_type_t> secret) const {
    ck_rv_t rv = CKR_OK;
    for (unsigned long i = 0; i < count; ++i) {
        ck_attribute& target = attributes[i];
        const auto stored = find(target.type);
        if (secret && target.type == *secret) {
            target.value_len = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_SENSITIVE;
            continue;
        }
        if (!stored) {
            target.value_len = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (convertsList(target.type)) {
            if (const ck_rv_t one = widenValue(*stored, target); one != CKR_OK) rv = one;
            continue;
        }
        const bool number = holdsNumber(target.type) && stored->size() == kModuleNumber;
        const unsigned long needed = number ? kApplicationNumber : stored->size();
        if (target.value != nullptr && target.value_len < needed) {
            target.value_len = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
            continue;
        }
        if (target.value != nullptr && number) {
            const unsigned long wide = widen(stored->data());
            std::memcpy(target.value, &wide, kApplicationNumber);
        } else if (target.value != nullptr && !stored->empty()) {
            std::memcpy(target.value, stored->data(), stored->size());
        }
        target.value_len = needed;
    }
    return rv;
}

}  // namespace korva::host
