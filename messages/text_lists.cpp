#include "messages/text_lists.h"

#include <cstring>

namespace korva::messages {
namespace {

// The next string of the block, or nothing when no NUL ends it within the
// bytes left.
std::optional<std::string_view> nextString(const char*& cursor, std::size_t& left) noexcept {
    std::size_t length = 0;
    if (left == kUnboundedBlock) {
        length = std::strlen(cursor);
    } else {
        const void* end = std::memchr(cursor, 0, left);
        if (end == nullptr) return std::nullopt;
        length = std::size_t(static_cast<const char*>(end) - cursor);
        left -= length + 1;
    }
    const std::string_view text(cursor, length);
    cursor += length + 1;
    return text;
}

}  // namespace

std::optional<std::vector<TextEntry>> readTextList(const char* block, std::size_t count, EntryShape shape,
                                                   std::size_t limit) {
    std::vector<TextEntry> entries;
    if (count == 0) return entries;
    if (block == nullptr) return std::nullopt;
    const char* cursor = block;
    std::size_t left = limit;
    // No reservation up front: the count comes from the host and is only
    // believed as far as the strings are really there.
    for (std::size_t i = 0; i < count; ++i) {
        TextEntry entry;
        const auto name = nextString(cursor, left);
        const auto value = name ? nextString(cursor, left) : std::nullopt;
        if (!value) return std::nullopt;
        entry.name = *name;
        entry.value = *value;
        if (shape == EntryShape::kTriples) {
            const auto criticality = nextString(cursor, left);
            if (!criticality) return std::nullopt;
            entry.criticality = *criticality;
        }
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace korva::messages
