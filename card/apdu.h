// Internal to the card layer: sending a command and judging its status word.
#pragma once

#include "card/card_context.h"

#include <cstdint>
#include <initializer_list>
#include <span>

namespace korva::card::detail {

// A status word, or a family of them (mask 0xFF00: any SW2), that a command
// maps to a result of its own instead of kUnexpected.
struct StatusRule {
    uint16_t statusWord;
    CardResult result;
    uint16_t mask = 0xFFFF;
};

inline constexpr StatusRule kSecurityNotSatisfied{0x6982, result::kSecurity};
inline constexpr StatusRule kRecordNotFound{0x6A83, result::kNotFound};
inline constexpr StatusRule kNoMemory{0x6A84, result::kMemory};

// After an exchange: a transport failure as it is, 90 00 as kOk, the first
// matching rule, else kUnexpected.
CardResult judge(const CardContext& context, CardResult sent, std::initializer_list<StatusRule> rules = {}) noexcept;

// Sends `apdu` with `flag` into the context's response buffer and judges it.
CardResult send(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag,
                std::initializer_list<StatusRule> rules = {}) noexcept;

inline bool succeeded(const CardContext& context) noexcept { return context.sw1 == 0x90 && context.sw2 == 0x00; }

}  // namespace korva::card::detail
