#include "session/pin.h"

#include "session/pin_block.h"

#include "card/select.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace korva::token {

namespace {

constexpr uint32_t kFlagPinCommand = 1;

constexpr uint8_t kInsVerify = 0x20;
constexpr uint8_t kInsChangeReference = 0x24;

void wipeCommand(CardContext& context) noexcept { OPENSSL_cleanse(context.command.data(), context.command.size()); }

// Header CLA INS P1 P2 followed, when a block is given, by Lc 08 and the
// block; sent with the PIN commands' transport flag.
CardResult sendPinCommand(CardContext& context, uint8_t ins, uint8_t p1, uint8_t p2, const PinBlock* block) noexcept {
    context.command[0] = 0x00;
    context.command[1] = ins;
    context.command[2] = p1;
    context.command[3] = p2;
    if (block == nullptr) {
        context.command[4] = 0x00;
        context.commandLength = 5;
    } else {
        const auto bytes = block->bytes();
        context.command[4] = static_cast<uint8_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), context.command.begin() + 5);
        context.commandLength = static_cast<uint32_t>(5 + bytes.size());
    }
    const CardResult rc = transmitCommand(context, kFlagPinCommand);
    wipeCommand(context);
    return rc;
}

CardResult mapVerifyAnswer(const CardContext& context) noexcept {
    if (context.sw1 == 0x63 && context.sw2 >= 0x40) return result::kPinIncorrect;
    if (context.sw1 == 0x69 && context.sw2 == 0x83) return result::kPinBlocked;
    if (context.sw1 == 0x90 && context.sw2 == 0x00) return result::kOk;
    return result::kUnexpected;
}

}  // namespace

CardResult verify(CardContext& context, std::span<const uint8_t> pin, uint32_t userType) noexcept {
    const auto block = PinBlock::fromPin(pin);
    if (!block) return result::kPinIncorrect;
    if ((context.loginFlags & login_flags::kSelectPinDirectoryFirst) != 0 &&
        card::selectKeyDirectory(context) != result::kOk) {
        return result::kBadArgumentOrTransport;
    }
    if (sendPinCommand(context, kInsVerify, 0x00, pinReferenceOf(userType), &*block) != result::kOk) {
        return result::kBadArgumentOrTransport;
    }
    const CardResult answer = mapVerifyAnswer(context);
    CardResult after = result::kOk;
    if ((context.loginFlags & login_flags::kSelectApplicationAfter) != 0) {
        after = card::selectApplication(context);
    } else if ((context.loginFlags & login_flags::kSelectSubdirectoryAfter) != 0) {
        after = card::selectApplicationSubdirectory(context);
    }
    return after != result::kOk ? result::kBadArgumentOrTransport : answer;
}

CardResult retriesLeft(CardContext& context, bool user, uint8_t& count) noexcept {
    const uint8_t reference = user ? pin_reference::kUser : pin_reference::kSecurityOfficer;
    if (sendPinCommand(context, kInsVerify, 0x00, reference, nullptr) != result::kOk) {
        return result::kUnexpected;
    }
    if (context.sw1 == 0x63) {
        count = context.sw2 & 0x0F;
    } else if (context.sw1 == 0x90 && context.sw2 == 0x00) {
        count = 0xFF;
    } else if (context.sw1 == 0x69 && context.sw2 == 0x83) {
        count = 0;
    } else {
        return result::kUnexpected;
    }
    return result::kOk;
}

CardResult changeReference(CardContext& context, std::span<const uint8_t> pin, uint32_t userType) noexcept {
    const auto block = PinBlock::fromPin(pin);
    if (!block) return result::kPinIncorrect;
    const CardResult rc = sendPinCommand(context, kInsChangeReference, 0x01, pinReferenceOf(userType), &*block);
    if (rc != result::kOk) return rc;
    return context.sw1 == 0x90 && context.sw2 == 0x00 ? result::kOk : result::kUnexpected;
}

CardResult setReferenceData(CardContext& context, uint8_t reference, std::span<const uint8_t> data) noexcept {
    if (data.size() > 0xFF) return result::kBadArgumentOrTransport;
    std::array<uint8_t, 5 + 0xFF> apdu{};
    apdu[0] = 0x00;
    apdu[1] = kInsChangeReference;
    apdu[2] = 0x01;
    apdu[3] = reference;
    apdu[4] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), apdu.begin() + 5);
    const CardResult outcome = exchange(context, std::span(apdu).first(5 + data.size()));
    OPENSSL_cleanse(apdu.data(), apdu.size());
    wipeCommand(context);
    return outcome;
}

CardResult loginWith(CardContext& context, const abi::LoginRecord* record) noexcept {
    if (record == nullptr || record->pinLength == 0) return result::kOk;
    if (record->userType != user_type::kSecurityOfficer && record->userType != user_type::kUser) {
        return result::kOk;
    }
    // The record's PIN field is 103 bytes but its length word is the host's:
    // never let it reach past the field, let alone past the 8-byte block.
    if (record->pinLength > kMaxPinLength) return result::kPinIncorrect;
    context.loginFlags = login_flags::kSelectPinDirectoryFirst | login_flags::kSelectSubdirectoryAfter;
    return verify(context, std::span(record->pin, record->pinLength), record->userType);
}

}  // namespace korva::token
