// How the object store understands each attribute type: the kind that fixes
// its stored width and encoding, the default that stands in when an object's
// record lacks it, and whether it is ever stored in a record at all.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace korva::objects {

enum class AttributeKind : uint8_t {
    Boolean,     // 1 byte, 00 or 01
    Number,      // 4 bytes, big-endian in a record, native in a template
    Date,        // the 8 bytes of a CK_DATE
    ByteString,  // the bytes as given
    Unsupported,
};

enum class AttributeDefault : uint8_t {
    None,   // a missing attribute of this type is "type invalid"
    False,  // 1 byte 00
    True,   // 1 byte 01
    Empty,  // length 0
};

struct AttributeTraits {
    uint32_t type;
    AttributeKind kind;
    AttributeDefault fallback;
    // Derived from the body file when read, or consumed at creation: never
    // part of a directory record.
    bool neverStored;
};

// The traits of `type`; every type the table does not list is Unsupported,
// has no default and is not stored.
AttributeTraits attributeTraits(uint32_t type);

struct AttributeClassification {
    AttributeKind kind;
    uint32_t storedLength;  // 1, 4, or the template's length; 0 when unsupported
};

// The kind of a template entry and the length its value takes in a record.
AttributeClassification classifyAttribute(uint32_t type, uint32_t templateLength);

// Fixed width of a kind's value (1, 4, 8), or 0 for kinds of free length.
uint32_t fixedWidth(AttributeKind kind);

// The attributes every object read for the host carries, in the order in
// which a list lacking them is completed.
extern const std::array<uint32_t, 20> kStandardAttributes;

// Whether an attribute update may change `type` on an object kept in
// directory `directoryId`: the label of any token object, plus the value of
// a data object, the identifier and serial number of a certificate, and the
// identifier of a key. Session objects and unknown directories change
// nothing.
bool isUpdatableAttribute(uint16_t directoryId, uint32_t type);

// The boolean attributes the host is told a new object of a class carries
// by default, in the order it is told them; empty for an unknown class.
std::span<const uint32_t> classDefaultAttributes(uint32_t classNumber);

}  // namespace korva::objects
