// The attribute record: an object's stored attributes as packed entries of
// a 4-byte big-endian type, a 1-byte length and the value, written from
// byte 0 of a 255-byte directory record and followed by zeros.
//
// All readers here work on the bytes actually read from the card and never
// look past them, whatever the lengths inside claim.
#pragma once

#include "objects/layout.h"

#include <korva/pkcs11_types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::objects {

class AttributeSet;

inline constexpr std::size_t kEntryHeaderSize = 5;                                 // type (4) + length (1)
inline constexpr uint32_t kMaxStoredValueLength = kRecordSize - kEntryHeaderSize;  // 250

// A record whose first four bytes are all zero holds no object. Records
// shorter than four bytes are not records at all: callers reject them
// before asking.
bool isFreeRecord(std::span<const uint8_t> record);

struct RecordEntry {
    uint32_t type = 0;
    std::span<const uint8_t> value;
};

enum class LookupResult : uint8_t { Found, Absent, Malformed };

struct RecordLookup {
    LookupResult result = LookupResult::Absent;
    std::span<const uint8_t> value;  // set when Found
};

// Looks for the first entry of `type`. An entry whose length runs past the
// data is malformed. Reading also ends at a zero type or at the end of the
// data; when fewer than five bytes are left after the last entry they must
// be the record's zero padding, anything else is malformed. A record of
// four bytes or fewer holds no attributes.
RecordLookup findInRecord(std::span<const uint8_t> record, uint32_t type);

enum class EntryResult : uint8_t { Entry, End, Malformed };

// Takes the next entry from the front of `rest` and advances `rest` past
// it. Fewer than four bytes left, or a zero type, end the list; four bytes
// left with a non-zero type, or a length that runs past the data, are
// malformed (and leave `rest` unchanged).
EntryResult nextEntry(std::span<const uint8_t>& rest, RecordEntry& entry);

enum class DecodeResult : uint8_t { Ok, Malformed, OutOfMemory };

// Appends every entry of `record` to `set`, in order: booleans as one byte
// 00/01, numbers as native 32-bit values, dates and byte strings (and types
// the store does not know) as stored. An entry whose stored length does not
// match its kind's width is taken as stored bytes rather than read past its
// end. A malformed entry stops decoding; the entries before it stay in the
// set. Out of memory clears the set.
DecodeResult decodeRecord(std::span<const uint8_t> record, AttributeSet& set);

enum class EncodeResult : uint8_t {
    Ok,
    TooLong,       // the entries do not fit; the needed size is reported
    InvalidValue,  // a template value cannot be read as its kind requires
};

struct RecordSize {
    EncodeResult result = EncodeResult::Ok;
    std::size_t size = 0;  // bytes of entries, when result is Ok or TooLong
};

// The first pass of encoding: the bytes the template's stored attributes
// take. Attributes that are never stored (the class, values kept in body
// files) and types the store does not know are skipped silently.
RecordSize measureRecord(std::span<const abi::CK_ATTRIBUTE> tmpl);

// Encodes the template's stored attributes into the front of `out`; bytes
// of `out` past the entries are left as they are. Returns TooLong when the
// entries need more than out.size() bytes (or a value is longer than one
// length byte can say) and InvalidValue when a template value cannot be
// read: a null pointer with a non-zero length, a boolean shorter than one
// byte, a number shorter than four, or a date whose length is not eight.
// `size` receives the encoded size whenever it is known.
EncodeResult encodeRecord(std::span<const abi::CK_ATTRIBUTE> tmpl, std::span<uint8_t> out, std::size_t& size);

using DirectoryRecord = std::array<uint8_t, kRecordSize>;

// The 255-byte directory record of a template: its entries, then zeros.
EncodeResult encodeDirectoryRecord(std::span<const abi::CK_ATTRIBUTE> tmpl, DirectoryRecord& record, std::size_t& size);

enum class RebuildResult : uint8_t {
    Ok,
    Malformed,     // an entry of the stored record runs past its data
    TooLong,       // the new entries need more than 255 bytes
    InvalidValue,  // a replacing value has a non-zero length and no bytes
};

// The record after an attribute update: the stored entries in their order,
// each replaced by the value of the first entry of the same type in
// `changes` (its bytes as given), the rest kept; types the record does not
// hold are not added. `changed` tells whether any entry was replaced (only
// then does the record need writing back). `out` is zero-filled first.
RebuildResult rebuildRecord(std::span<const uint8_t> record, std::span<const abi::CK_ATTRIBUTE> changes,
                            DirectoryRecord& out, bool& changed);

// Big-endian 32-bit read and write, the byte order of records.
uint32_t readBigEndian32(const uint8_t* bytes);
void writeBigEndian32(uint8_t* bytes, uint32_t value);

}  // namespace korva::objects
