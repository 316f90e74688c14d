// BER-TLV reading as the card encodes its answers and records: one-byte
// tags, lengths in short form (00-7F) or long form 81 xx / 82 xx xx. Neither
// reader allocates or reads outside the range it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::card {

// Decodes the length of the TLV whose tag byte starts `fromTag` (the range
// runs to the end of the buffer). On success `value` is the value's bytes
// and, when given, `lengthFieldSize` receives 1, 2 or 3. Fails on a missing
// or unsupported length form (80, 83-FF) and on a value that would run past
// the range.
bool decodeLength(std::span<const uint8_t> fromTag, std::span<const uint8_t>& value,
                  std::size_t* lengthFieldSize = nullptr) noexcept;

enum class TagSearch : uint32_t { kFound = 0, kNotFound = 2, kMalformed = 3 };

// Looks for `tag` among the TLVs that follow one another in `range`, without
// descending into constructed values. Stops at the first match, so a damaged
// TLV after it is never looked at; a damaged TLV before it is kMalformed.
TagSearch findTag(std::span<const uint8_t> range, uint8_t tag, std::span<const uint8_t>& value) noexcept;

}  // namespace korva::card
