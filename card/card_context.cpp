#include "card/card_context.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace korva {

namespace {

// ENVELOPE (INS C2) carries a command that does not fit one APDU; the card
// reassembles the pieces and runs the command on the closing empty ENVELOPE.
constexpr std::size_t kLongestDirectCommand = 260;
constexpr std::size_t kEnvelopePiece = 250;
constexpr uint8_t kEnvelopeHeader[] = {0x00, 0xC2, 0x00, 0x00};

void loadCommand(CardContext& context, std::span<const uint8_t> apdu) noexcept {
    std::copy(apdu.begin(), apdu.end(), context.command.begin());
    context.commandLength = static_cast<uint32_t>(apdu.size());
}

void loadEnvelope(CardContext& context, std::span<const uint8_t> piece) noexcept {
    std::copy(std::begin(kEnvelopeHeader), std::end(kEnvelopeHeader), context.command.begin());
    context.command[4] = static_cast<uint8_t>(piece.size());
    std::copy(piece.begin(), piece.end(), context.command.begin() + 5);
    context.commandLength = static_cast<uint32_t>(piece.size() + 5);
}

bool isSuccess(const CardContext& context) noexcept { return context.sw1 == 0x90 && context.sw2 == 0x00; }

}  // namespace

CardContext::~CardContext() {
    OPENSSL_cleanse(command.data(), command.size());
    OPENSSL_cleanse(response.data(), response.size());
}

CardResult transmitCommand(CardContext& context, uint32_t flag, std::span<uint8_t> response) noexcept {
    context.sw1 = 0;
    context.sw2 = 0;
    if (context.host.transmit == nullptr) {
        context.responseLength = 0;
        context.lastResult = valueOf(result::kBadArgumentOrTransport);
        return result::kBadArgumentOrTransport;
    }
    const auto capacity = static_cast<uint32_t>(response.size());
    context.responseLength = capacity;
    const uint32_t rc =
        context.host.transmit(context.host, context.command.data(), context.commandLength, response.data(),
                              &context.responseLength, &context.sw1, &context.sw2, flag, 0);
    context.lastResult = rc;
    if (rc != 0 || context.responseLength > capacity) {
        // Either the host says the exchange failed, or it claims to have
        // written past the buffer it was given: trust none of the answer.
        context.responseLength = 0;
        context.sw1 = 0;
        context.sw2 = 0;
        if (rc == 0) context.lastResult = valueOf(result::kBadArgumentOrTransport);
        return result::kBadArgumentOrTransport;
    }
    return result::kOk;
}

CardResult transmitCommand(CardContext& context, uint32_t flag) noexcept {
    return transmitCommand(context, flag, context.response);
}

CardResult sendCommand(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag,
                       std::span<uint8_t> response) noexcept {
    if (apdu.size() > CardContext::kCommandCapacity) {
        context.lastResult = valueOf(result::kBadArgumentOrTransport);
        return result::kBadArgumentOrTransport;
    }
    loadCommand(context, apdu);
    return transmitCommand(context, flag, response);
}

CardResult sendCommand(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag) noexcept {
    return sendCommand(context, apdu, flag, context.response);
}

CardResult exchange(CardContext& context, std::span<const uint8_t> apdu) noexcept {
    const CardResult rc = sendCommand(context, apdu, kTransportFlag0);
    if (rc != result::kOk) return rc;
    return isSuccess(context) ? result::kOk : result::kUnexpected;
}

CardResult sendChained(CardContext& context, std::span<const uint8_t> apdu) noexcept {
    if (apdu.size() <= kLongestDirectCommand) {
        loadCommand(context, apdu);
        return transmitCommand(context, kTransportFlag1) != result::kOk ? result::kBadArgumentOrTransport : result::kOk;
    }
    for (std::size_t sent = 0; sent < apdu.size();) {
        const std::size_t piece = std::min(kEnvelopePiece, apdu.size() - sent);
        loadEnvelope(context, apdu.subspan(sent, piece));
        if (transmitCommand(context, kTransportFlag0) != result::kOk) return result::kBadArgumentOrTransport;
        if (context.responseLength != 0 || !isSuccess(context)) {
            context.lastResult = valueOf(result::kUnexpected);
            return result::kUnexpected;
        }
        sent += piece;
    }
    loadEnvelope(context, {});
    return transmitCommand(context, kTransportFlag1) != result::kOk ? result::kBadArgumentOrTransport : result::kOk;
}

}  // namespace korva
