// Token initialisation (slots 3, 51 and 52): turns a card whose master file
// and application directory A1 BC exist into an empty, initialised token.
#pragma once

#include "card/card_context.h"

#include <korva/pkcs11_types.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace korva::token {

inline constexpr std::size_t kSettingsValueCount = 15;
using SettingsValues = std::array<uint8_t, kSettingsValueCount>;

// s0 ... s14 of the short form; the two-value form replaces s1 and s2.
inline constexpr SettingsValues kDefaultSettingsValues = {1, 3, 3, 0, 3, 0, 3, 0, 3, 0, 3, 0, 3, 0, 0};

struct InitParameters {
    const uint8_t* soPin = nullptr;
    uint32_t soPinLength = 0;
    const uint8_t* label = nullptr;  // 32 bytes, blank-padded by the caller
    SettingsValues settings = kDefaultSettingsValues;
};

// Size of the certificate subdirectory's container map for s8 entries.
constexpr uint16_t containerMapSize(uint8_t entries) noexcept { return static_cast<uint16_t>(entries * 86 + 1); }

abi::CK_RV initToken(const HostContext& host, const InitParameters& parameters);

}  // namespace korva::token
