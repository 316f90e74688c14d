// The host's raw arguments turned into the typed values the layers take,
// checked once at the slot boundary: an attribute array and its count become
// a span, a pointer the slot cannot do without becomes a reference, and the
// host's settings vector becomes the 17 settings bytes
// (token::copyHostSettings).
#pragma once

#include <korva/pkcs11_types.h>

#include <optional>
#include <span>

namespace korva::slots {

// A host template: its array may be null only when it has no entries.
template <typename Attribute>
std::optional<std::span<Attribute>> hostTemplate(Attribute* entries, abi::CK_ULONG count) noexcept {
    if (entries == nullptr && count != 0) return std::nullopt;
    return std::span<Attribute>(entries, count);
}

// True when none of the pointers is null.
template <typename... Pointers>
constexpr bool allGiven(const Pointers*... pointers) noexcept {
    return ((pointers != nullptr) && ...);
}

}  // namespace korva::slots
