// The text lists a certificate request is built from. The host passes each
// list as one block of consecutive NUL-terminated strings and a count of
// entries: pairs (name, value) or, for extensions, optionally triples
// (name, value, criticality).
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

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

// A host list, taken entry by entry as the request is built, so that
// nothing past the entry that ends it is ever read: a count larger than
// the entries in the block meets an empty name (or, with a limit, a string
// without its NUL) and stops there, and an entry refused on its way into
// the request stops the reading too.
class TextList {
public:
    TextList() noexcept = default;  // no entries
    TextList(const char* block, std::size_t count, EntryShape shape, std::size_t limit = kUnboundedBlock) noexcept
        : cursor_(block), count_(block == nullptr ? 0 : count), left_(limit), shape_(shape) {}

    // Every entry taken, or the list ended early.
    bool done() const noexcept { return taken_ == count_ || ended_; }
    // The next entry; nothing when it ends the list (an empty name, a
    // string that runs past the limit), and done() from then on.
    std::optional<TextEntry> next() noexcept;
    EntryShape shape() const noexcept { return shape_; }

private:
    const char* cursor_ = nullptr;
    std::size_t count_ = 0;
    std::size_t taken_ = 0;
    std::size_t left_ = kUnboundedBlock;
    EntryShape shape_ = EntryShape::kPairs;
    bool ended_ = false;
};

// The criticality text of a triple: "0" is not critical, any other text is.
constexpr bool isCritical(std::string_view criticality) noexcept { return criticality != "0"; }

}  // namespace korva::messages
