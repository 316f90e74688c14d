// The token settings record: the first 17 bytes of file 50 E1 in the
// application subdirectory. The host reads it once (slot 0) and hands it
// back with later calls as a byte vector.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace korva::token {

inline constexpr std::size_t kSettingsSize = 17;
using TokenSettings = std::array<uint8_t, kSettingsSize>;

// Byte 16 of the record: the settings flags.
inline constexpr std::size_t kSettingsFlagsByte = 16;
// Flag bit: keep track of whether the user PIN is still the default one.
inline constexpr uint8_t kTrackDefaultPin = 0x02;

constexpr bool tracksDefaultPin(const TokenSettings& settings) noexcept {
    return (settings[kSettingsFlagsByte] & kTrackDefaultPin) != 0;
}

// Copies the host's settings vector. Nothing for a null descriptor or an
// empty vector; a vector shorter than 17 bytes is copied as far as it goes
// and the rest reads as zero.
std::optional<TokenSettings> copyHostSettings(const abi::HostByteVector* vector) noexcept;

// Selects A1 BC 7F 01 and 50 E1 and reads the record's first 17 bytes.
CardResult readSettingsRecord(CardContext& context, TokenSettings& settings) noexcept;

// Slot 0: length query (null buffer) or copy of the 17 bytes.
abi::CK_RV readTokenSettings(const HostContext& host, uint8_t* buffer, uint32_t* length);

// Slot 55: the 17 bytes, each to its own (possibly null) pointer.
abi::CK_RV getTokenSettings(const HostContext& host, const std::array<uint8_t*, kSettingsSize>& bytes);

// Slot 1: RESET SECURITY STATE.
abi::CK_RV resetSecurityState(const HostContext& host);

}  // namespace korva::token
