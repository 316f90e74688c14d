#include "card/apdu.h"

namespace korva::card::detail {

CardResult judge(const CardContext& context, CardResult sent, std::initializer_list<StatusRule> rules) noexcept {
    if (sent != result::kOk) return sent;
    if (succeeded(context)) return result::kOk;
    const uint16_t statusWord = context.statusWord();
    for (const StatusRule& rule : rules) {
        if ((statusWord & rule.mask) == (rule.statusWord & rule.mask)) return rule.result;
    }
    return result::kUnexpected;
}

CardResult send(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag,
                std::initializer_list<StatusRule> rules) noexcept {
    return judge(context, sendCommand(context, apdu, flag), rules);
}

}  // namespace korva::card::detail
