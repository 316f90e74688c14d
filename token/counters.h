// The PIN-related bytes of the counters file 70 FE in the application
// subdirectory: byte 1 counts changes of the user PIN (so that other
// software reading the card can tell its cached state is stale), byte 14
// says whether the user PIN must still be changed from the default one.
#pragma once

#include "card/card_context.h"
#include "session/settings.h"

#include <cstdint>
#include <span>

namespace korva::token {

// Adds one (modulo 256) to the PIN change counter.
CardResult bumpPinChangeCounter(CardContext& context) noexcept;

// Reads the PIN-must-be-changed byte.
CardResult readPinMustChange(CardContext& context, uint8_t& value) noexcept;

// Writes the PIN-must-be-changed byte, only when it differs from the card's.
CardResult writePinMustChange(CardContext& context, bool mustChange) noexcept;

// The bookkeeping after the user PIN was set or changed: the change counter,
// then, on a token that tracks it, whether the new PIN is the default one.
CardResult recordUserPinChange(CardContext& context, const TokenSettings& settings,
                               std::span<const uint8_t> newPin) noexcept;

}  // namespace korva::token
