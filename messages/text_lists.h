// The text lists a certificate request is built from. The host passes each
// list as one block of consecutive NUL-terminated strings and a count of
// entries: pairs (name, value) or, for extensions, optionally triples
// (name, value, criticality).
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace korva::messages {

// Every view points into the host's block and ends right before a NUL, so
// data() may be passed where OpenSSL wants a C string.
struct TextEntry {
    std::string_view name;
    std::string_view value;
    std::string_view criticality;  // triples only
};

enum class EntryShape : unsigned { kPairs = 2, kTriples = 3 };

// The host states no size for its blocks; a caller that knows one (tests,
// fuzzing) passes it as `limit`.
inline constexpr std::size_t kUnboundedBlock = std::numeric_limits<std::size_t>::max();

// Reads `count` entries from `block`. An empty list for count 0 (whatever
// the pointer); nothing when `block` is null with a non-zero count or a
// string runs past `limit` without its NUL.
std::optional<std::vector<TextEntry>> readTextList(const char* block, std::size_t count, EntryShape shape,
                                                   std::size_t limit = kUnboundedBlock);

// The criticality text of a triple: "0" is not critical, any other text is.
constexpr bool isCritical(std::string_view criticality) noexcept { return criticality != "0"; }

}  // namespace korva::messages
