#include "card/files.h"

#include "card/apdu.h"

#include <algorithm>
#include <array>

namespace korva::card {

namespace {

constexpr std::size_t kLongestPiece = 255;

constexpr std::initializer_list<detail::StatusRule> kReadRules = {
    detail::kSecurityNotSatisfied,
    {0x6B00, result::kWrongLength},
    {0x6C00, result::kWrongLength, 0xFF00},
};

bool withinOffsetLimit(uint32_t offset, std::size_t length) noexcept {
    return offset <= kBinaryOffsetLimit && length <= kBinaryOffsetLimit - offset;
}

std::array<uint8_t, 4> header(uint8_t ins, uint32_t offset) noexcept {
    return {0x00, ins, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset)};
}

}  // namespace

CardResult readBinary(CardContext& context, uint32_t offset, std::span<uint8_t> out) noexcept {
    if (!withinOffsetLimit(offset, out.size())) return result::kBadArgumentOrTransport;
    for (std::size_t done = 0; done < out.size();) {
        const std::size_t piece = std::min(kLongestPiece, out.size() - done);
        const auto at = header(0xB0, offset + static_cast<uint32_t>(done));
        const std::array<uint8_t, 5> apdu = {at[0], at[1], at[2], at[3], static_cast<uint8_t>(piece)};
        const CardResult sent = detail::send(context, apdu, kTransportFlag1, kReadRules);
        if (sent != result::kOk) return sent;
        // A short answer would leave a hole of stale bytes in the caller's
        // buffer, a long one would overrun it: both are malformed.
        if (context.responseLength != piece) return result::kUnexpected;
        std::copy_n(context.response.begin(), piece, out.begin() + static_cast<std::ptrdiff_t>(done));
        done += piece;
    }
    return result::kOk;
}

CardResult updateBinary(CardContext& context, uint32_t offset, std::span<const uint8_t> data) noexcept {
    if (!withinOffsetLimit(offset, data.size())) return result::kBadArgumentOrTransport;
    // Private exponents and secret key bodies pass through here. Each piece
    // is built in the context's command buffer, which the context wipes when
    // it ends, so no copy is left behind on the stack.
    for (std::size_t done = 0; done < data.size();) {
        const std::size_t piece = std::min(kLongestPiece, data.size() - done);
        const auto at = header(0xD6, offset + static_cast<uint32_t>(done));
        std::copy(at.begin(), at.end(), context.command.begin());
        context.command[4] = static_cast<uint8_t>(piece);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(done), piece, context.command.begin() + 5);
        context.commandLength = static_cast<uint32_t>(5 + piece);
        const CardResult sent =
            detail::judge(context, transmitCommand(context, kTransportFlag1), {detail::kSecurityNotSatisfied});
        if (sent != result::kOk) return sent;
        done += piece;
    }
    return result::kOk;
}

CardResult deleteFile(CardContext& context, uint16_t fileId) noexcept {
    const std::array<uint8_t, 7> apdu = {
        0x00, 0xE4, 0x00, 0x00, 0x02, static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId)};
    return detail::send(context, apdu, kTransportFlag0, {detail::kSecurityNotSatisfied});
}

CardResult activateFile(CardContext& context) noexcept {
    constexpr std::array<uint8_t, 4> apdu = {0x00, 0x44, 0x00, 0x00};
    return detail::send(context, apdu, kTransportFlag0);
}

CardResult activateCertificateDirectory(CardContext& context) noexcept {
    constexpr std::array<uint8_t, 7> apdu = {0x00, 0x44, 0x00, 0x00, 0x02, 0x70, 0x01};
    return detail::send(context, apdu, kTransportFlag0);
}

}  // namespace korva::card
