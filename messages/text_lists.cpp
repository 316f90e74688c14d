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

std::optional<TextEntry> TextList::next() noexcept {
    if (done()) return std::nullopt;
    const auto name = nextString(cursor_, left_);
    // An empty name is no field, attribute or extension: the list ends at it.
    const auto value = name && !name->empty() ? nextString(cursor_, left_) : std::nullopt;
    const auto criticality =
        value && shape_ == EntryShape::kTriples ? nextString(cursor_, left_) : std::optional<std::string_view>("");
    if (!value || !criticality) {
        ended_ = true;
        return std::nullopt;
    }
    ++taken_;
    return TextEntry{*name, *value, *criticality};
}

}  // namespace korva::messages
