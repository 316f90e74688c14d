// The counters file 70 FE of the application subdirectory: how many
// objects of each class the token holds and how often the object set, the
// key containers and the files changed. Other software reading the card
// compares these counters with its cache, so every change of the object
// set must move them.
#pragma once

#include "objects/layout.h"

#include "card/card_context.h"

#include <array>
#include <cstdint>

namespace korva::objects {

using CountersBytes = std::array<uint8_t, counters::kLength>;

// Selects 70 FE (the application subdirectory being current) and reads its
// first 14 bytes.
CardResult readCounters(CardContext& context, CountersBytes& bytes) noexcept;

// The bookkeeping after an object was created or destroyed: with
// `keyContainers` and/or `files` set their counters and the store's change
// counter advance; the count of `classNumber` moves by `delta` (1, or 0xFF
// for a decrement). The application subdirectory must be current.
CardResult bumpCounters(CardContext& context, bool keyContainers, bool files, uint32_t classNumber,
                        uint8_t delta) noexcept;

// An attribute update advances the three change counters only (the first
// 8 bytes are read and written back).
CardResult bumpChangeCounters(CardContext& context) noexcept;

}  // namespace korva::objects
