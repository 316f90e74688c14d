// Linear fixed record files: READ, UPDATE and APPEND RECORD. Records are
// numbered from 1 and hold at most 255 bytes.
#pragma once

#include "card/card_context.h"

#include <cstdint>
#include <span>

namespace korva::card {

inline constexpr std::size_t kRecordSize = 255;

// Reads record `number` into `buffer`. `length` on entry is the expected
// record length (1-255), or 0 when unknown: the card is then asked for 255
// bytes and, when it answers 6C xx, asked again with Le xx. On success
// `length` is the received count. Returns kOk; kWrongLength for an entry
// length above 255, for a buffer smaller than the answer, or for 6C xx to a
// known length (then `length` = xx); kSecurity (69 82); kNotFound (6A 83);
// kUnexpected; kBadArgumentOrTransport.
CardResult readRecord(CardContext& context, uint8_t number, std::span<uint8_t> buffer, uint32_t& length) noexcept;

// Asks the card for the length of record `number` without reading it: the
// answer 6C xx gives xx; a card that answers 90 00 to the 255-byte request
// has sent the whole record, so its received count is the length. Mapping as
// readRecord.
CardResult queryRecordLength(CardContext& context, uint8_t number, uint32_t& length) noexcept;

// Writes record `number` as a full 255-byte record: `record` (at most 255
// bytes, else kBadArgumentOrTransport) followed by zeros. Returns kOk, kSecurity,
// kNotFound (6A 83), kUnexpected or kBadArgumentOrTransport.
CardResult updateRecord(CardContext& context, uint8_t number, std::span<const uint8_t> record) noexcept;

// Appends a record of 1 to 255 bytes (else kBadArgumentOrTransport). Returns kOk,
// kSecurity, kUnexpected or kBadArgumentOrTransport.
CardResult appendRecord(CardContext& context, std::span<const uint8_t> data) noexcept;

}  // namespace korva::card
