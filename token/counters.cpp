#include "token/counters.h"

#include "session/pin.h"

#include "card/files.h"
#include "card/select.h"

#include <algorithm>
#include <array>

namespace korva::token {

namespace {

constexpr std::array<uint8_t, 6> kPathCountersFile = {0xA1, 0xBC, 0x7F, 0x01, 0x70, 0xFE};
constexpr std::size_t kPinChangeCounter = 1;
constexpr std::size_t kPinMustChange = 14;
// The counter is rewritten together with its neighbours, as one block.
constexpr std::size_t kCounterBlock = 8;

CardResult selectCountersFile(CardContext& context) noexcept { return card::selectPath(context, kPathCountersFile); }

}  // namespace

CardResult bumpPinChangeCounter(CardContext& context) noexcept {
    if (const CardResult rc = selectCountersFile(context); rc != result::kOk) return rc;
    std::array<uint8_t, kCounterBlock> block{};
    if (const CardResult rc = card::readBinary(context, 0, block); rc != result::kOk) return rc;
    ++block[kPinChangeCounter];
    return card::updateBinary(context, 0, block);
}

CardResult readPinMustChange(CardContext& context, uint8_t& value) noexcept {
    if (const CardResult rc = selectCountersFile(context); rc != result::kOk) return rc;
    std::array<uint8_t, 1> byte{};
    if (const CardResult rc = card::readBinary(context, kPinMustChange, byte); rc != result::kOk) return rc;
    value = byte[0];
    return result::kOk;
}

CardResult writePinMustChange(CardContext& context, bool mustChange) noexcept {
    uint8_t current = 0;
    if (const CardResult rc = readPinMustChange(context, current); rc != result::kOk) return rc;
    const uint8_t wanted = mustChange ? 1 : 0;
    if (current == wanted) return result::kOk;
    return card::updateBinary(context, kPinMustChange, std::span(&wanted, 1));
}

CardResult recordUserPinChange(CardContext& context, const TokenSettings& settings,
                               std::span<const uint8_t> newPin) noexcept {
    if (const CardResult rc = bumpPinChangeCounter(context); rc != result::kOk) return rc;
    if (!tracksDefaultPin(settings)) return result::kOk;
    const bool isDefault = std::ranges::equal(newPin, kDefaultUserPin);
    return writePinMustChange(context, isDefault);
}

}  // namespace korva::token
