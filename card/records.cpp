#include "card/records.h"

#include "card/apdu.h"

#include <algorithm>
#include <array>

namespace korva::card {

namespace {

constexpr uint8_t kWholeRecord = 0xFF;

constexpr std::initializer_list<detail::StatusRule> kRecordRules = {
    detail::kSecurityNotSatisfied,
    detail::kRecordNotFound,
};

bool answeredWrongLength(const CardContext& context) noexcept { return context.sw1 == 0x6C; }

// READ RECORD with the given Le. Returns kOk for 90 00 and for 6C xx (the
// caller looks at the status word), else the judged result.
CardResult sendReadRecord(CardContext& context, uint8_t number, uint8_t le) noexcept {
    const std::array<uint8_t, 5> apdu = {0x00, 0xB2, number, 0x04, le};
    const CardResult rc = sendCommand(context, apdu, kTransportFlag1);
    if (rc == result::kOk && answeredWrongLength(context)) return result::kOk;
    return detail::judge(context, rc, kRecordRules);
}

}  // namespace

CardResult readRecord(CardContext& context, uint8_t number, std::span<uint8_t> buffer, uint32_t& length) noexcept {
    if (length > kRecordSize) return result::kWrongLength;
    const bool lengthKnown = length != 0;
    CardResult sent = sendReadRecord(context, number, lengthKnown ? static_cast<uint8_t>(length) : kWholeRecord);
    if (sent != result::kOk) return sent;
    if (answeredWrongLength(context)) {
        if (lengthKnown) {
            length = context.sw2;
            return result::kWrongLength;
        }
        // Asked again with the card's length. 6C 00 names 256 bytes, more
        // than a record holds: the card is still asked as it says (Le 00),
        // and an answer longer than the caller's buffer is refused below.
        sent = sendReadRecord(context, number, context.sw2);
        if (sent != result::kOk) return sent;
        if (!detail::succeeded(context)) return result::kUnexpected;
    }
    if (context.responseLength > buffer.size()) return result::kWrongLength;
    std::copy_n(context.response.begin(), context.responseLength, buffer.begin());
    length = context.responseLength;
    return result::kOk;
}

CardResult queryRecordLength(CardContext& context, uint8_t number, uint32_t& length) noexcept {
    const CardResult sent = sendReadRecord(context, number, kWholeRecord);
    if (sent != result::kOk) return sent;
    length = answeredWrongLength(context) ? context.sw2 : context.responseLength;
    return result::kOk;
}

CardResult updateRecord(CardContext& context, uint8_t number, std::span<const uint8_t> record) noexcept {
    if (record.size() > kRecordSize) return result::kBadArgumentOrTransport;
    std::array<uint8_t, 5 + kRecordSize> apdu{0x00, 0xDC, number, 0x04, static_cast<uint8_t>(kRecordSize)};
    std::copy(record.begin(), record.end(), apdu.begin() + 5);
    return detail::send(context, apdu, kTransportFlag1, kRecordRules);
}

CardResult appendRecord(CardContext& context, std::span<const uint8_t> data) noexcept {
    if (data.empty() || data.size() > kRecordSize) return result::kBadArgumentOrTransport;
    std::array<uint8_t, 5 + kRecordSize> apdu{0x00, 0xE2, 0x00, 0x00, static_cast<uint8_t>(data.size())};
    std::copy(data.begin(), data.end(), apdu.begin() + 5);
    return detail::send(context, std::span(apdu).first(5 + data.size()), kTransportFlag1,
                        {detail::kSecurityNotSatisfied});
}

}  // namespace korva::card
