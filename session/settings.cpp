#include "session/settings.h"

#include "card/credentials.h"
#include "card/files.h"
#include "card/select.h"

#include <algorithm>

namespace korva::token {

namespace {

constexpr uint16_t kSettingsFile = 0x50E1;

}  // namespace

std::optional<TokenSettings> copyHostSettings(const abi::HostByteVector* vector) noexcept {
    if (vector == nullptr || vector->begin == nullptr || vector->end <= vector->begin) return std::nullopt;
    const auto available = static_cast<std::size_t>(vector->end - vector->begin);
    TokenSettings settings{};
    std::copy_n(vector->begin, std::min(available, settings.size()), settings.begin());
    return settings;
}

CardResult readSettingsRecord(CardContext& context, TokenSettings& settings) noexcept {
    if (const CardResult rc = card::selectApplicationSubdirectory(context); rc != result::kOk) return rc;
    if (const CardResult rc = card::selectFile(context, kSettingsFile); rc != result::kOk) return rc;
    return card::readBinary(context, 0, settings);
}

abi::CK_RV readTokenSettings(const HostContext& host, uint8_t* buffer, uint32_t* length) {
    if (length == nullptr) return abi::CKR_ARGUMENTS_BAD;
    if (buffer == nullptr) {
        *length = kSettingsSize;
        return abi::CKR_OK;
    }
    if (*length < kSettingsSize) {
        *length = kSettingsSize;
        return abi::CKR_BUFFER_TOO_SMALL;
    }
    CardContext context(host);
    TokenSettings settings{};
    if (readSettingsRecord(context, settings) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    std::copy(settings.begin(), settings.end(), buffer);
    *length = kSettingsSize;
    return abi::CKR_OK;
}

abi::CK_RV getTokenSettings(const HostContext& host, const std::array<uint8_t*, kSettingsSize>& bytes) {
    CardContext context(host);
    TokenSettings settings{};
    if (readSettingsRecord(context, settings) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    for (std::size_t i = 0; i < kSettingsSize; ++i) {
        if (bytes[i] != nullptr) *bytes[i] = settings[i];
    }
    return abi::CKR_OK;
}

abi::CK_RV resetSecurityState(const HostContext& host) {
    CardContext context(host);
    return card::resetSecurityState(context) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

}  // namespace korva::token
