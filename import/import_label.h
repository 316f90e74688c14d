// The label and identifier of imported objects: 16 random bytes from the
// card written as lowercase hexadecimal in groups of 8-4-4-4-12 digits,
// followed by "(Import)", as in
//   3f2a09c4-51be-7d80-aa13-0c9e44b2f1d6(Import)
// The first 36 characters are the objects' CKA_ID, the whole text their
// CKA_LABEL, so that the halves of an imported pair and its certificate
// find each other.
#pragma once

#include "card/card_context.h"

#include <array>
#include <cstddef>
#include <span>

namespace korva::import {

inline constexpr std::size_t kImportIdLength = 36;
inline constexpr std::size_t kImportLabelLength = kImportIdLength + 8;

struct ImportLabel {
    std::array<uint8_t, kImportLabelLength> text{};
    std::span<const uint8_t> label() const noexcept { return text; }
    std::span<const uint8_t> id() const noexcept { return std::span(text).first(kImportIdLength); }
};

// The card's GET CHALLENGE is the only source of the random bytes: kOk, or
// the failure of the card.
CardResult makeImportLabel(CardContext& context, ImportLabel& label) noexcept;

// The text for 16 given bytes.
void formatImportLabel(std::span<const uint8_t, 16> random, ImportLabel& label) noexcept;

}  // namespace korva::import
