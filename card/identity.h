// What the card tells about itself: its identity (the token serial number),
// its capability answer and its information record; plus the key-slot
// bitmap command that frees the card's key slots.
#pragma once

#include "card/card_context.h"

#include <array>
#include <cstdint>
#include <span>

namespace korva::card {

// 80 FE 06 00 (must answer 61 20), then GET RESPONSE 00 C0 00 00 08 (must
// answer 61 18 with exactly 8 bytes): the 8 identity bytes. kOk,
// kBadArgumentOrTransport or kUnexpected.
inline constexpr std::size_t kCardIdentitySize = 8;
CardResult readCardIdentity(CardContext& context, std::span<uint8_t, kCardIdentitySize> identity) noexcept;

// 80 FE 00 00 00. Only the exchange: kOk on 90 00 with the answer left in
// context.received() for the caller to judge, kUnexpected, kBadArgumentOrTransport.
CardResult queryCardCapability(CardContext& context) noexcept;

// The 127-byte card information record. Bytes 47-78 tell which GOST key
// slots 0x30-0x4F are taken (slot s at offset s - 1).
struct CardInformation {
    static constexpr std::size_t kSize = 127;
    std::array<uint8_t, kSize> bytes{};
    uint16_t value124 = 0;  // bytes 124-125, big-endian
    uint16_t value126 = 0;  // byte 126: the record ends before a second byte
};

// 80 78 00 00 (must answer 6C 7F), then GET RESPONSE 00 C0 00 00 7F (must
// answer 90 00 with exactly 127 bytes). kOk, kBadArgumentOrTransport or
// kUnexpected.
CardResult readCardInformation(CardContext& context, CardInformation& information) noexcept;

// 80 74 00 00 10 + a 16-byte bitmap naming the key numbers the card is to
// free (bit 7 of byte 0 is key 1). One key of 1-127 (else kBadArgumentOrTransport), or
// the block of GOST key slots 48-79. kOk, kUnexpected or kBadArgumentOrTransport.
CardResult clearKeySlot(CardContext& context, unsigned keyNumber) noexcept;
CardResult clearKeySlotBlock(CardContext& context) noexcept;

}  // namespace korva::card
