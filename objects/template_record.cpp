#include "objects/template_record.h"

#include "objects/attribute_set.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace korva::objects {

using abi::CK_ATTRIBUTE;

namespace {

bool ownsValue(const CK_ATTRIBUTE& entry) {
    return entry.pValue != nullptr && entry.ulValueLen != 0 && entry.ulValueLen != kUnavailableLength;
}

// A malloc'd copy of `length` bytes, or null for values that are not
// copied. Sets `failed` when memory runs out.
void* copyValue(const void* value, uint32_t length, bool& failed) {
    failed = false;
    if (value == nullptr || length == 0 || length == kUnavailableLength) return nullptr;
    void* copy = std::malloc(length);
    if (copy == nullptr) {
        failed = true;
        return nullptr;
    }
    std::memcpy(copy, value, length);
    return copy;
}

}  // namespace

void releaseSessionObjectValues(abi::SessionObject& object) noexcept {
    const uint32_t count = std::min<uint32_t>(object.count, KORVA_SESSION_OBJECT_ATTRIBUTES);
    for (uint32_t i = 0; i < count; ++i) {
        CK_ATTRIBUTE& entry = object.attributes[i];
        if (ownsValue(entry)) wipeAndFree(entry.pValue, entry.ulValueLen);
        entry = CK_ATTRIBUTE{};
    }
    object.count = 0;
}

TemplateRecord::TemplateRecord() noexcept : record_{} {}

void TemplateRecord::release() noexcept { releaseSessionObjectValues(record_); }

TemplateResult TemplateRecord::append(uint32_t type, const void* value, uint32_t length) noexcept {
    if (record_.count >= kCapacity) return TemplateResult::TooMany;
    bool failed;
    void* copy = copyValue(value, length, failed);
    if (failed) return TemplateResult::OutOfMemory;
    record_.attributes[record_.count++] = CK_ATTRIBUTE{type, copy, length};
    return TemplateResult::Ok;
}

TemplateResult TemplateRecord::fill(std::span<const CK_ATTRIBUTE> tmpl) noexcept {
    release();
    if (tmpl.size() > kCapacity) return TemplateResult::TooMany;
    for (const CK_ATTRIBUTE& entry : tmpl) {
        if (append(entry.type, entry.pValue, entry.ulValueLen) != TemplateResult::Ok) {
            release();
            return TemplateResult::OutOfMemory;
        }
    }
    return TemplateResult::Ok;
}

TemplateResult TemplateRecord::appendBoolean(uint32_t type, bool value) noexcept {
    const uint8_t byte = value ? 1 : 0;
    return append(type, &byte, 1);
}

TemplateResult TemplateRecord::appendNumber(uint32_t type, uint32_t value) noexcept {
    return append(type, &value, sizeof value);
}

TemplateResult TemplateRecord::appendBytes(uint32_t type, std::span<const uint8_t> value) noexcept {
    return append(type, value.data(), uint32_t(value.size()));
}

const CK_ATTRIBUTE* TemplateRecord::find(uint32_t type) const noexcept {
    for (const CK_ATTRIBUTE& entry : entries())
        if (entry.type == type) return &entry;
    return nullptr;
}

TemplateLookup TemplateRecord::viewBytes(uint32_t type, std::span<const uint8_t>& value) const noexcept {
    const CK_ATTRIBUTE* entry = find(type);
    if (entry == nullptr || entry->ulValueLen == kUnavailableLength) return TemplateLookup::Absent;
    if (entry->ulValueLen == 0) {
        value = {};
        return TemplateLookup::Found;
    }
    if (entry->pValue == nullptr) return TemplateLookup::WrongLength;
    value = {static_cast<const uint8_t*>(entry->pValue), entry->ulValueLen};
    return TemplateLookup::Found;
}

TemplateLookup TemplateRecord::getBytes(uint32_t type, std::span<uint8_t> out, uint32_t& length) const noexcept {
    std::span<const uint8_t> value;
    const TemplateLookup found = viewBytes(type, value);
    if (found == TemplateLookup::Absent) return found;
    length = find(type)->ulValueLen;
    if (found != TemplateLookup::Found) return found;
    if (out.empty()) return TemplateLookup::Found;
    if (out.size() < value.size()) return TemplateLookup::BufferTooSmall;
    std::copy(value.begin(), value.end(), out.begin());
    return TemplateLookup::Found;
}

TemplateLookup TemplateRecord::getBoolean(uint32_t type, bool& value) const noexcept {
    std::span<const uint8_t> bytes;
    const TemplateLookup found = viewBytes(type, bytes);
    if (found != TemplateLookup::Found) return found;
    if (bytes.size() != 1) return TemplateLookup::WrongLength;
    value = bytes[0] == 1;
    return TemplateLookup::Found;
}

TemplateLookup TemplateRecord::getNumber(uint32_t type, uint32_t& value) const noexcept {
    std::span<const uint8_t> bytes;
    const TemplateLookup found = viewBytes(type, bytes);
    if (found != TemplateLookup::Found) return found;
    if (bytes.size() != sizeof value) return TemplateLookup::WrongLength;
    std::memcpy(&value, bytes.data(), sizeof value);
    return TemplateLookup::Found;
}

void TemplateRecord::remove(uint32_t type) noexcept {
    CK_ATTRIBUTE* const begin = record_.attributes;
    CK_ATTRIBUTE* const end = begin + record_.count;
    CK_ATTRIBUTE* const found =
        std::find_if(begin, end, [type](const CK_ATTRIBUTE& entry) { return entry.type == type; });
    if (found == end) return;
    if (ownsValue(*found)) wipeAndFree(found->pValue, found->ulValueLen);
    std::move(found + 1, end, found);
    *(end - 1) = CK_ATTRIBUTE{};
    --record_.count;
}

void TemplateRecord::removeAll(uint32_t type) noexcept {
    while (find(type) != nullptr) remove(type);
}

TemplateResult TemplateRecord::copyFrom(const TemplateRecord& other) noexcept {
    if (&other == this) return TemplateResult::Ok;
    const TemplateResult result = fill(other.entries());
    if (result == TemplateResult::Ok) record_.objectClass = other.record_.objectClass;
    return result;
}

void TemplateRecord::swap(TemplateRecord& other) noexcept { std::swap(record_, other.record_); }

void TemplateRecord::swap(abi::SessionObject& object) noexcept { std::swap(record_, object); }

}  // namespace korva::objects
