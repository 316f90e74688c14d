// Transparent files and file management: READ and UPDATE BINARY, DELETE
// FILE, ACTIVATE. The raw single exchange is korva::exchange (card_context.h).
#pragma once

#include "card/card_context.h"

#include <cstdint>
#include <span>

namespace korva::card {

// Offsets travel in P1-P2 with the top bit clear, so a transfer must end at
// or before this offset.
inline constexpr uint32_t kBinaryOffsetLimit = 0x8000;

// Fills `out` from the selected transparent file starting at `offset`, in
// pieces of at most 255 bytes; every piece must answer exactly the bytes it
// asked for. An empty `out` succeeds without an exchange. Returns kOk,
// kSecurity (69 82), kWrongLength (6B 00, 6C xx), kUnexpected,
// kBadArgumentOrTransport, or kBadArgumentOrTransport when the range passes the offset limit.
CardResult readBinary(CardContext& context, uint32_t offset, std::span<uint8_t> out) noexcept;

// Writes `data` at `offset` in pieces of at most 255 bytes; the first failing
// piece ends the write. Returns kOk, kSecurity, kUnexpected,
// kBadArgumentOrTransport, or kBadArgumentOrTransport past the offset limit.
CardResult updateBinary(CardContext& context, uint32_t offset, std::span<const uint8_t> data) noexcept;

// DELETE FILE by identifier in the current directory: kOk, kSecurity (69 82),
// kUnexpected or kBadArgumentOrTransport.
CardResult deleteFile(CardContext& context, uint16_t fileId) noexcept;

// ACTIVATE FILE of the selected file (00 44 00 00).
CardResult activateFile(CardContext& context) noexcept;

// ACTIVATE FILE of the certificate subdirectory 70 01 by identifier.
CardResult activateCertificateDirectory(CardContext& context) noexcept;

}  // namespace korva::card
