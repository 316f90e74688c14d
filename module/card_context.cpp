#include "card_context.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace korva {

namespace {

// ENVELOPE (INS C2) carries a command that does not fit one APDU; the card
// reassembles the pieces and runs the command on the closing empty ENVELOPE.
constexpr std::size_t kLongestDirectCommand = 260;
constexpr std::size_t kEnvelopePiece = 250;
constexpr uint8_t kEnvelopeHeader[] = {0x00, 0xC2, 0x00, 0x00};

constexpr uint32_t kFlagIntermediate = 0;
constexpr uint32_t kFlagFinal = 1;

void loadCommand(CardContext& context, std::span<const uint8_t> apdu) noexcept {
    std::copy(apdu.begin(), apdu.end(), context.command.begin());
    context.commandLength = static_cast<uint32_t>(apdu.size());
}

bool isSuccess(const CardContext& context) noexcept {
    return context.sw1 == 0x90 && context.sw2 == 0x00;
}

}  // namespace

CardContext::~CardContext() {
    OPENSSL_cleanse(command.data(), command.size());
    OPENSSL_cleanse(response.data(), response.size());
}

uint32_t transmitCommand(CardContext& context, uint32_t flag) noexcept {
    context.responseLength = CardContext::kResponseCapacity;
    context.sw1 = 0;
    context.sw2 = 0;
    if (context.host.transmit == nullptr) {
        context.responseLength = 0;
        context.lastResult = result::kBadArgument;
        return context.lastResult;
    }
    uint32_t rc = context.host.transmit(context.host, context.command.data(), context.commandLength,
                                        context.response.data(), &context.responseLength,
                                        &context.sw1, &context.sw2, flag, 0);
    if (rc == 0 && context.responseLength > CardContext::kResponseCapacity) {
        // The host claims to have written past the buffer it was given: do
        // not trust a single byte of it.
        context.responseLength = 0;
        rc = result::kBadArgument;
    }
    context.lastResult = rc;
    return rc;
}

CardResult exchange(CardContext& context, std::span<const uint8_t> apdu) noexcept {
    if (apdu.size() > CardContext::kCommandCapacity) return result::kBadArgument;
    loadCommand(context, apdu);
    const uint32_t rc = transmitCommand(context, kFlagIntermediate);
    if (rc != 0) return rc;
    return isSuccess(context) ? result::kOk : result::kUnexpected;
}

CardResult sendChained(CardContext& context, std::span<const uint8_t> apdu) noexcept {
    if (apdu.size() <= kLongestDirectCommand) {
        loadCommand(context, apdu);
        return transmitCommand(context, kFlagFinal) != 0 ? result::kBadArgument : result::kOk;
    }
    for (std::size_t sent = 0; sent < apdu.size();) {
        const std::size_t piece = std::min(kEnvelopePiece, apdu.size() - sent);
        std::copy(std::begin(kEnvelopeHeader), std::end(kEnvelopeHeader), context.command.begin());
        context.command[4] = static_cast<uint8_t>(piece);
        std::copy_n(apdu.begin() + static_cast<std::ptrdiff_t>(sent), piece, context.command.begin() + 5);
        context.commandLength = static_cast<uint32_t>(piece + 5);
        if (transmitCommand(context, kFlagIntermediate) != 0) return result::kBadArgument;
        if (context.responseLength != 0 || !isSuccess(context)) return result::kUnexpected;
        sent += piece;
    }
    std::copy(std::begin(kEnvelopeHeader), std::end(kEnvelopeHeader), context.command.begin());
    context.command[4] = 0x00;
    context.commandLength = 5;
    return transmitCommand(context, kFlagFinal) != 0 ? result::kBadArgument : result::kOk;
}

}  // namespace korva
