// The working copy of a host template while an object is created: laid out
// like a session object (30 CK_ATTRIBUTE entries, the count, one more
// 32-bit word), owning its values, so that a finished template can become a
// session object by a swap.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>

namespace korva::objects {

enum class TemplateResult : uint8_t { Ok, TooMany, OutOfMemory };

enum class TemplateLookup : uint8_t {
    Found,
    Absent,          // no entry of the type, or its length is 0xFFFFFFFF
    WrongLength,     // the entry's length does not suit the request
    BufferTooSmall,  // the needed length was stored
};

// Values are malloc'd and wiped before they are freed, like every value of
// a session object.
class TemplateRecord {
public:
    static constexpr uint32_t kCapacity = KORVA_SESSION_OBJECT_ATTRIBUTES;

    TemplateRecord() noexcept;
    ~TemplateRecord() { release(); }
    TemplateRecord(const TemplateRecord&) = delete;
    TemplateRecord& operator=(const TemplateRecord&) = delete;

    // Replaces the contents with a deep copy of `tmpl` (more than 30
    // entries: TooMany). A value is copied when its pointer is non-null and
    // its length is neither 0 nor 0xFFFFFFFF; otherwise the entry keeps its
    // length with a null pointer. Out of memory leaves the record empty.
    TemplateResult fill(std::span<const abi::CK_ATTRIBUTE> tmpl) noexcept;

    TemplateResult appendBoolean(uint32_t type, bool value) noexcept;
    TemplateResult appendNumber(uint32_t type, uint32_t value) noexcept;  // native byte order
    TemplateResult appendBytes(uint32_t type, std::span<const uint8_t> value) noexcept;

    // Lookups see the first entry of a type. A boolean needs length 1 and is
    // true when its byte is 01 (the rule the record encoder applies, so what
    // is checked is what gets stored); a number needs length 4.
    TemplateLookup getBoolean(uint32_t type, bool& value) const noexcept;
    TemplateLookup getNumber(uint32_t type, uint32_t& value) const noexcept;
    // Copies the value into `out` when it fits, and stores its length in
    // `length` in every case but Absent; an empty `out` asks only for the
    // length. An entry with a non-zero length and no value is WrongLength.
    TemplateLookup getBytes(uint32_t type, std::span<uint8_t> out, uint32_t& length) const noexcept;
    // The value in place (valid until the record changes).
    TemplateLookup viewBytes(uint32_t type, std::span<const uint8_t>& value) const noexcept;

    const abi::CK_ATTRIBUTE* find(uint32_t type) const noexcept;
    // Removes the first entry of `type`, if any; later entries move up.
    void remove(uint32_t type) noexcept;
    // Removes every entry of `type`: for attributes the token sets itself,
    // where a second entry from the caller would contradict the one set.
    void removeAll(uint32_t type) noexcept;

    // Replaces the contents with a deep copy of `other`.
    TemplateResult copyFrom(const TemplateRecord& other) noexcept;
    void swap(TemplateRecord& other) noexcept;
    // Exchanges contents with a session-object entry of the host's table.
    void swap(abi::SessionObject& object) noexcept;

    // Wipes and frees every value; the count becomes 0.
    void release() noexcept;

    uint32_t count() const noexcept { return record_.count; }
    std::span<const abi::CK_ATTRIBUTE> entries() const noexcept { return {record_.attributes, record_.count}; }
    uint32_t trailingWord() const noexcept { return record_.objectClass; }
    void setTrailingWord(uint32_t word) noexcept { record_.objectClass = word; }

private:
    TemplateResult append(uint32_t type, const void* value, uint32_t length) noexcept;

    abi::SessionObject record_;
};

// Wipes and frees the values of a session object or template record laid
// out the same way, and sets its count to 0. Counts above 30 are bounded.
void releaseSessionObjectValues(abi::SessionObject& object) noexcept;

}  // namespace korva::objects
