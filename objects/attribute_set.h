// An object's attributes in memory, as read from its record, its body file
// or a session object, and the two ways they reach the host: a filled
// caller template, or a newly allocated CK_ATTRIBUTE array.
#pragma once

#include "common/wiped_bytes.h"

#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>
#include <vector>

namespace korva::objects {

inline constexpr uint32_t kUnavailableLength = abi::KORVA_UNAVAILABLE_LENGTH;

// An ordered list of attributes that owns its values and wipes them when
// they are released. An entry may have no value (a null pointer) and still
// carry a length, as a host template can.
//
// Every operation that allocates returns false when memory runs out, after
// clearing the whole set.
class AttributeSet {
public:
    struct Entry {
        uint32_t type = 0;
        uint32_t length = 0;
        bool hasValue = false;  // false: a null value pointer with `length`
        WipedBytes value;       // holds `length` bytes when hasValue

        std::span<const uint8_t> bytes() const { return value; }
    };

    AttributeSet() = default;
    AttributeSet(AttributeSet&&) noexcept = default;
    AttributeSet& operator=(AttributeSet&&) noexcept = default;
    AttributeSet(const AttributeSet&) = delete;
    AttributeSet& operator=(const AttributeSet&) = delete;

    // Appends a copy of `length` bytes at `value`; a null `value` or a
    // length of 0xFFFFFFFF appends an entry without a value.
    bool add(uint32_t type, const void* value, uint32_t length) noexcept;
    bool addBytes(uint32_t type, std::span<const uint8_t> value) noexcept;
    bool addBoolean(uint32_t type, bool value) noexcept;
    bool addNumber(uint32_t type, uint32_t value) noexcept;  // native byte order

    // Deep copy of every entry of a host array, appended in order.
    bool load(std::span<const abi::CK_ATTRIBUTE> attributes) noexcept;

    // Appends each attribute of the standard list the set lacks, with its
    // default value.
    bool complete() noexcept;

    bool contains(uint32_t type) const noexcept { return find(type) != nullptr; }
    const Entry* find(uint32_t type) const noexcept;

    void clear() noexcept { entries_.clear(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    std::span<const Entry> entries() const noexcept { return entries_; }

private:
    bool append(Entry&& entry) noexcept;

    std::vector<Entry> entries_;
};

// ---------------------------------------------------------------------------
// Arrays handed to the host. The array and every value buffer in it come
// from malloc, and releaseAttributeArray (the body of the slot that releases
// attribute arrays) wipes and frees them: the host never frees them itself.

// A new array holding a copy of `set`. Entries without a value, with a
// length of 0xFFFFFFFF or with an empty value get a null value pointer, so
// that every buffer the host holds is one the release frees. An empty set
// gives a null array and count 0. Returns false when memory runs out, with
// everything allocated so far released and the outputs untouched.
bool exportAttributes(const AttributeSet& set, abi::CK_ATTRIBUTE*& array, uint32_t& count) noexcept;

// The default attribute list of a class for the host: each of the class's
// default booleans with a freshly allocated byte, then CKA_LABEL with no
// value and length 0. Returns false when memory runs out (nothing is left
// allocated).
bool exportDefaultAttributes(uint32_t classNumber, abi::CK_ATTRIBUTE*& array, uint32_t& count) noexcept;

// Wipes and frees every value buffer whose pointer is non-null and whose
// length is neither 0 nor 0xFFFFFFFF, then frees the array. A null array or
// a count of 0 does nothing.
void releaseAttributeArray(abi::CK_ATTRIBUTE* array, uint32_t count) noexcept;

// Overwrites `length` bytes at `buffer` with zeros and frees it (malloc'd
// memory, or null).
void wipeAndFree(void* buffer, std::size_t length) noexcept;

// ---------------------------------------------------------------------------
// Filling a caller's template from an object's record.

// A value derived from the object's body by the reader; a length of
// 0xFFFFFFFF means it is not available.
struct DerivedValue {
    const uint8_t* data = nullptr;
    uint32_t length = kUnavailableLength;

    static DerivedValue of(std::span<const uint8_t> bytes) { return {bytes.data(), uint32_t(bytes.size())}; }
};

struct DerivedValues {
    DerivedValue value;  // also answers CKA_EC_POINT
    DerivedValue modulus;
    DerivedValue publicExponent;
    DerivedValue prime1;
    DerivedValue prime2;
    DerivedValue exponent1;
    DerivedValue exponent2;
    DerivedValue coefficient;
    DerivedValue subject;
    DerivedValue issuer;
    DerivedValue serialNumber;

    // The derived value that answers `type`, or null when the type is read
    // from the record.
    const DerivedValue* forType(uint32_t type) const noexcept;
};

enum class FillResult : uint8_t { Ok, TypeInvalid, BufferTooSmall, MalformedRecord };

// Fills every entry of `tmpl` following PKCS#11: a null value pointer asks
// only for the length; a value too small, or a type the object cannot
// answer, gets the length 0xFFFFFFFF. Every entry is processed and the
// result is that of the last entry that failed, except that a malformed
// record stops at once.
FillResult fillTemplate(std::span<abi::CK_ATTRIBUTE> tmpl, uint32_t classNumber, std::span<const uint8_t> record,
                        const DerivedValues& derived) noexcept;

}  // namespace korva::objects
