// Templates between the application's ABI (unsigned long numbers, 64-bit on
// our platform) and the module's (32-bit numbers). The lengths, and the
// values that the table of attribute types (host/attribute_types.h) calls
// numbers or number lists, are converted both ways; every other value passes
// as the bytes it is.
#pragma once

#include "common/wiped_bytes.h"
#include "host/pkcs11_api.h"

#include <optional>
#include <span>
#include <vector>

namespace korva::host {

// Whether the attribute's value is one CK_ULONG, or an array of them.
bool holdsNumber(ck_attribute_type_t type);
bool holdsNumberArray(ck_attribute_type_t type);

// A template as the module takes it, with the values it owns.
class ModuleTemplate final {
public:
    ModuleTemplate() = default;
    // The entries point into the values: moved together, never copied.
    ModuleTemplate(ModuleTemplate&&) = default;
    ModuleTemplate& operator=(ModuleTemplate&&) = default;
    ModuleTemplate(const ModuleTemplate&) = delete;
    ModuleTemplate& operator=(const ModuleTemplate&) = delete;

    // A template the application gives: values are copied (and wiped when
    // the template goes), numbers narrowed. CKR_ATTRIBUTE_VALUE_INVALID for
    // a number of the wrong size or beyond 32 bits, or a boolean that is not
    // one byte.
    ck_rv_t copyFrom(const ck_attribute* attributes, unsigned long count);

    // Adds a value in the module's layout when the template has none of
    // `type`: the defaults an application may leave out.
    void addIfAbsent(ck_attribute_type_t type, std::span<const uint8_t> moduleValue);
    void addIfAbsent(ck_attribute_type_t type, abi::CK_ULONG number);
    void addIfAbsent(ck_attribute_type_t type, bool value);
    // Takes every value of `changes`, replacing this template's own.
    void merge(const ModuleTemplate& changes);

    // A template the module fills: the application's buffers, except that
    // numbers go through 4-byte buffers of this object. Returns
    // CKR_BUFFER_TOO_SMALL when a number's buffer is below a CK_ULONG (that
    // entry is then not asked of the module).
    ck_rv_t prepareToFill(const ck_attribute* attributes, unsigned long count);
    // Copies what the module filled back into the application's template;
    // CKR_BUFFER_TOO_SMALL when a converted list did not fit.
    ck_rv_t returnTo(ck_attribute* attributes, unsigned long count) const;

    abi::CK_ATTRIBUTE* data() { return entries_.empty() ? nullptr : entries_.data(); }
    abi::CK_ULONG size() const { return static_cast<abi::CK_ULONG>(entries_.size()); }

    // The first value of `type` in this template, as a boolean or number.
    std::optional<bool> boolean(ck_attribute_type_t type) const;
    std::optional<unsigned long> number(ck_attribute_type_t type) const;
    // The bytes of every value.
    size_t valueBytes() const;

private:
    void setValue(abi::CK_ATTRIBUTE_TYPE type, std::span<const uint8_t> moduleValue, bool replace);

    std::vector<abi::CK_ATTRIBUTE> entries_;
    std::vector<WipedBytes> values_;
    std::vector<bool> skipped_;
    std::vector<bool> converted_;  // read into values_ and converted on return
};

// Attribute values in the module's layout, held by someone else (the
// module's array, the object cache): the standard's rules for finding,
// matching and handing them to the application.
class AttributeView final {
public:
    AttributeView(const abi::CK_ATTRIBUTE* items, abi::CK_ULONG count) : items_(items), count_(count) {}

    std::span<const abi::CK_ATTRIBUTE> items() const { return {items_, items_ == nullptr ? 0 : count_}; }

    // The stored value of `type`, or nothing when the object lacks it.
    std::optional<std::span<const uint8_t>> find(ck_attribute_type_t type) const;

    // Whether every attribute of the application's template is present with
    // an equal value.
    bool matches(const ck_attribute* attributes, unsigned long count) const;

    // Fills the application's template by the standard's rules. `secret`
    // names the type that must not leave the token (or none).
    ck_rv_t fill(ck_attribute* attributes, unsigned long count, std::optional<ck_attribute_type_t> secret) const;

private:
    const abi::CK_ATTRIBUTE* items_;
    abi::CK_ULONG count_;
};

// An attribute array the module handed to the host; released through the
// module when it goes.
class ModuleAttributes final {
public:
    explicit ModuleAttributes(const abi::ModuleFunctionTable& module) : module_(module) {}
    ~ModuleAttributes() { module_.releaseAttributes(items_, count_); }
    ModuleAttributes(const ModuleAttributes&) = delete;
    ModuleAttributes& operator=(const ModuleAttributes&) = delete;

    abi::CK_ATTRIBUTE** items() { return &items_; }
    abi::CK_ULONG* count() { return &count_; }
    AttributeView view() const { return {items_, count_}; }

    std::optional<std::span<const uint8_t>> find(ck_attribute_type_t type) const { return view().find(type); }
    bool matches(const ck_attribute* attributes, unsigned long count) const {
        return view().matches(attributes, count);
    }
    ck_rv_t fill(ck_attribute* attributes, unsigned long count, std::optional<ck_attribute_type_t> secret) const {
        return view().fill(attributes, count, secret);
    }

private:
    const abi::ModuleFunctionTable& module_;
    abi::CK_ATTRIBUTE* items_ = nullptr;
    abi::CK_ULONG count_ = 0;
};

}  // namespace korva::host
