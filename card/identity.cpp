#include "card/identity.h"

#include "card/apdu.h"

#include <algorithm>
#include <array>

namespace korva::card {

namespace {

// Sends a command whose only acceptable answer is one status word.
CardResult expect(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag, uint16_t statusWord) noexcept {
    if (sendCommand(context, apdu, flag) != result::kOk) return result::kBadArgumentOrTransport;
    return context.statusWord() == statusWord ? result::kOk : result::kUnexpected;
}

constexpr std::size_t kBitmapSize = 16;

CardResult sendBitmap(CardContext& context, const std::array<uint8_t, kBitmapSize>& bitmap) noexcept {
    std::array<uint8_t, 5 + kBitmapSize> apdu{0x80, 0x74, 0x00, 0x00, static_cast<uint8_t>(kBitmapSize)};
    std::copy(bitmap.begin(), bitmap.end(), apdu.begin() + 5);
    return detail::send(context, apdu, kTransportFlag0);
}

// Key number k (1-127) is bit 7 - (k - 1) % 8 of byte (k - 1) / 8.
void setKeyBit(std::array<uint8_t, kBitmapSize>& bitmap, unsigned keyNumber) noexcept {
    const unsigned index = keyNumber - 1;
    bitmap[index / 8] |= static_cast<uint8_t>(0x80u >> (index % 8));
}

}  // namespace

CardResult readCardIdentity(CardContext& context, std::span<uint8_t, kCardIdentitySize> identity) noexcept {
    constexpr std::array<uint8_t, 4> query = {0x80, 0xFE, 0x06, 0x00};
    const CardResult asked = expect(context, query, kTransportFlag0, 0x6120);
    if (asked != result::kOk) return asked;
    constexpr std::array<uint8_t, 5> getResponse = {0x00, 0xC0, 0x00, 0x00, kCardIdentitySize};
    const CardResult fetched = expect(context, getResponse, kTransportFlag0, 0x6118);
    if (fetched != result::kOk) return fetched;
    if (context.responseLength != kCardIdentitySize) return result::kUnexpected;
    std::copy_n(context.response.begin(), kCardIdentitySize, identity.begin());
    return result::kOk;
}

CardResult queryCardCapability(CardContext& context) noexcept {
    constexpr std::array<uint8_t, 5> apdu = {0x80, 0xFE, 0x00, 0x00, 0x00};
    return detail::send(context, apdu, kTransportFlag1);
}

CardResult readCardInformation(CardContext& context, CardInformation& information) noexcept {
    constexpr uint8_t kSize = CardInformation::kSize;
    constexpr std::array<uint8_t, 4> query = {0x80, 0x78, 0x00, 0x00};
    const CardResult asked = expect(context, query, kTransportFlag0, 0x6C00 | kSize);
    if (asked != result::kOk) return asked;
    constexpr std::array<uint8_t, 5> getResponse = {0x00, 0xC0, 0x00, 0x00, kSize};
    const CardResult fetched = expect(context, getResponse, kTransportFlag0, 0x9000);
    if (fetched != result::kOk) return fetched;
    if (context.responseLength != kSize) return result::kUnexpected;
    std::copy_n(context.response.begin(), kSize, information.bytes.begin());
    information.value124 = static_cast<uint16_t>(information.bytes[124] << 8 | information.bytes[125]);
    information.value126 = information.bytes[126];
    return result::kOk;
}

CardResult clearKeySlot(CardContext& context, unsigned keyNumber) noexcept {
    if (keyNumber == 0 || keyNumber > 127) return result::kBadArgumentOrTransport;
    std::array<uint8_t, kBitmapSize> bitmap{};
    setKeyBit(bitmap, keyNumber);
    return sendBitmap(context, bitmap);
}

CardResult clearKeySlotBlock(CardContext& context) noexcept {
    std::array<uint8_t, kBitmapSize> bitmap{};
    for (unsigned key = 48; key <= 79; ++key) setKeyBit(bitmap, key);
    return sendBitmap(context, bitmap);
}

}  // namespace korva::card
