#include "import/import_label.h"

#include "card/security_ops.h"

#include <algorithm>
#include <string_view>

namespace korva::import {

void formatImportLabel(std::span<const uint8_t, 16> random, ImportLabel& label) noexcept {
    static constexpr char kDigits[] = "0123456789abcdef";
    auto out = label.text.begin();
    for (std::size_t i = 0; i < random.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
        *out++ = uint8_t(kDigits[random[i] >> 4]);
        *out++ = uint8_t(kDigits[random[i] & 0x0F]);
    }
    constexpr std::string_view kSuffix = "(Import)";
    std::copy(kSuffix.begin(), kSuffix.end(), out);
}

CardResult makeImportLabel(CardContext& context, ImportLabel& label) noexcept {
    std::array<uint8_t, 16> random{};
    if (const CardResult rc = card::getChallenge(context, random); rc != result::kOk) return rc;
    formatImportLabel(random, label);
    return result::kOk;
}

}  // namespace korva::import
