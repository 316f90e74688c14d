#include "card/security_env.h"

#include "card/apdu.h"

#include <algorithm>
#include <array>

namespace korva::card {

namespace {

constexpr std::size_t kLongestIv = 16;

// MSE commands answer with status words only; the host gets a buffer of two
// bytes for them, never the context's response buffer.
CardResult sendEnvironment(CardContext& context, std::span<const uint8_t> apdu) noexcept {
    std::array<uint8_t, 2> answer{};
    const CardResult judged = detail::judge(context, sendCommand(context, apdu, kTransportFlag1, answer));
    // The count described the local buffer; leave none of the context's
    // older response bytes looking like this command's answer.
    context.responseLength = 0;
    return judged;
}

CardResult setKey(CardContext& context, uint8_t controlTemplate, uint8_t keyReference) noexcept {
    const CardResult restored = restoreSecurityEnvironment(context);
    if (restored != result::kOk) return restored;
    const std::array<uint8_t, 8> apdu = {0x00, 0x22, 0xC1, controlTemplate, 0x03, 0x83, 0x01, keyReference};
    return sendEnvironment(context, apdu);
}

}  // namespace

CardResult restoreSecurityEnvironment(CardContext& context) noexcept {
    constexpr std::array<uint8_t, 4> apdu = {0x00, 0x22, 0xF3, 0x00};
    return sendEnvironment(context, apdu);
}

CardResult setKeyForDeciphering(CardContext& context, uint8_t keyReference) noexcept {
    return setKey(context, 0xB8, keyReference);  // confidentiality template
}

CardResult setKeyForSigning(CardContext& context, uint8_t keyReference) noexcept {
    return setKey(context, 0xB6, keyReference);  // digital signature template
}

CardResult setCipherEnvironment(CardContext& context, uint8_t keyReference, uint8_t algorithm, std::size_t ivLength,
                                std::span<const uint8_t> iv) noexcept {
    // The card takes an 8- or 16-byte initial vector as given; for any other
    // length it is told to use 16 zero bytes.
    const bool usable = ivLength == 8 || ivLength == 16;
    if (usable && !iv.empty() && iv.size() != ivLength) return result::kBadArgumentOrTransport;

    const CardResult restored = restoreSecurityEnvironment(context);
    if (restored != result::kOk) return restored;
    const std::array<uint8_t, 11> keyAndAlgorithm = {0x00, 0x22,         0xC1, 0xB8, 0x06,     0x83,
                                                     0x01, keyReference, 0x8C, 0x01, algorithm};
    const CardResult set = sendEnvironment(context, keyAndAlgorithm);
    if (set != result::kOk) return set;

    const std::size_t length = usable ? ivLength : kLongestIv;
    std::array<uint8_t, 7 + kLongestIv> apdu{
        0x00, 0x22, 0xC1, 0xB8, static_cast<uint8_t>(length + 2), 0x87, static_cast<uint8_t>(length)};
    if (usable) std::copy(iv.begin(), iv.end(), apdu.begin() + 7);
    return sendEnvironment(context, std::span(apdu).first(7 + length));
}

}  // namespace korva::card
