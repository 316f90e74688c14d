// GOST R 34.10 key pairs (2001, 2012 with 256- and 512-bit keys): the card
// generates the pair inside one of its key objects F0 ss of the key
// directory 05 1F, and both halves' records name that object by its key
// reference ss.
#pragma once

#include "keys/key_pair_store.h"
#include "keys/key_pair_templates.h"

#include "card/identity.h"

#include <optional>

namespace korva::keys {

// The card's key slots 0x30-0x4F, one byte each in its information record
// (slot s at offset s - 1): 0 is free.
inline constexpr uint8_t kFirstKeySlot = 0x30;
inline constexpr uint8_t kLastKeySlot = 0x4F;
std::optional<uint8_t> firstFreeKeySlot(const card::CardInformation& information) noexcept;

// What the card's generation command needs; the curve code travels in P1.
struct GostGeneration {
    uint8_t keySlot = 0;
    GostChoice choice;
    bool derive = false;    // the private key may agree keys (VKO)
    bool longForm = false;  // the card knows GOST R 34.10-2012
};
// Sends the card's key generation for the pair. Success, CKR_DEVICE_MEMORY
// when the card has no room, else CKR_FUNCTION_FAILED.
CK_RV sendGostGeneration(CardContext& context, const GostGeneration& generation) noexcept;

// The whole GOST path of slot 20, up to but not including the counters.
CK_RV generateGostKeyPair(const HostContext& host, const abi::LoginRecord* login, const token::TokenSettings& settings,
                          std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                          const KeyPairMechanism& mechanism, const KeyPairOutputs& outputs) noexcept;

}  // namespace korva::keys
