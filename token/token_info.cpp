#include "token/token_info.h"

#include "token/counters.h"
#include "session/pin.h"
#include "session/pin_block.h"
#include "session/settings.h"

#include "card/files.h"
#include "card/identity.h"
#include "card/select.h"
#include "card/tlv.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace korva::token {

namespace {

using namespace korva::abi;

constexpr std::string_view kManufacturer = "LUMO";
constexpr std::string_view kModel = "VELTARTokenKORVA";
constexpr uint32_t kMaxSessions = 10;
constexpr uint32_t kTotalMemory = 0x12000;
constexpr uint32_t kUnknownMemory = 0xFFFFFFFF;

constexpr uint16_t kLabelFile = 0x5032;
constexpr uint32_t kLabelFileLimit = 128;
constexpr uint8_t kLifeCycleOperational = 0x05;
constexpr uint8_t kLifeCycleAbsent = 0xFF;

struct TokenState {
    bool initialised = false;
    uint32_t freeMemory = kUnknownMemory;
};

template <std::size_t N>
void fillText(CK_UTF8CHAR (&field)[N], std::span<const uint8_t> text) {
    std::memset(field, ' ', N);
    std::copy_n(text.begin(), std::min(text.size(), N), field);
}

void fillText(auto& field, std::string_view text) {
    fillText(field, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// The serial number is the card identity in upper-case hexadecimal.
void fillSerialNumber(CK_TOKEN_INFO& info, std::span<const uint8_t, card::kCardIdentitySize> identity) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    static_assert(sizeof(info.serialNumber) == 2 * card::kCardIdentitySize);
    for (std::size_t i = 0; i < identity.size(); ++i) {
        info.serialNumber[2 * i] = static_cast<CK_CHAR>(kDigits[identity[i] >> 4]);
        info.serialNumber[2 * i + 1] = static_cast<CK_CHAR>(kDigits[identity[i] & 0x0F]);
    }
}

// A retry count of 0 locks the PIN, 1 is its last try; a failed query
// tells nothing.
CK_FLAGS pinStateFlags(CardContext& context) {
    CK_FLAGS flags = 0;
    uint8_t count = 0;
    if (retriesLeft(context, false, count) == result::kOk) {
        if (count == 0) flags |= CKF_SO_PIN_LOCKED;
        if (count == 1) flags |= CKF_SO_PIN_FINAL_TRY;
    }
    if (retriesLeft(context, true, count) == result::kOk) {
        if (count == 0) flags |= CKF_USER_PIN_LOCKED;
        if (count == 1) flags |= CKF_USER_PIN_FINAL_TRY;
    }
    return flags;
}

// The application subdirectory's life cycle tells whether the token is
// initialised; its FCP also reports the card's free memory.
std::optional<TokenState> readTokenState(CardContext& context) {
    const CardResult rc = card::selectApplicationSubdirectory(context);
    if (rc == result::kNotFound) return TokenState{};
    if (rc != result::kOk || context.fci.lifeCycle == kLifeCycleAbsent) return std::nullopt;
    if (context.fci.lifeCycle != kLifeCycleOperational) return TokenState{};
    return TokenState{true, context.fci.keyReference};
}

// File 50 32: SEQUENCE { ..., [0] { UTF8String label }, ... }. The string
// goes into the blank-filled label field; nothing in the file is trusted
// beyond the bytes actually read.
bool readLabel(CardContext& context, CK_TOKEN_INFO& info) {
    if (card::selectFile(context, kLabelFile) != result::kOk) return false;
    const uint32_t size = context.fci.fileSize;
    if (size == FileControlInfo::kAbsent || size > kLabelFileLimit) return false;
    std::array<uint8_t, kLabelFileLimit> file{};
    const auto content = std::span(file).first(size);
    if (card::readBinary(context, 0, content) != result::kOk) return false;
    if (content.empty() || content[0] != 0x30) return false;
    std::span<const uint8_t> sequence, context0, label;
    if (!card::decodeLength(content, sequence)) return false;
    if (card::findTag(sequence, 0xA0, context0) != card::TagSearch::kFound) return false;
    if (card::findTag(context0, 0x0C, label) != card::TagSearch::kFound) return false;
    if (label.size() > sizeof(info.label)) return false;
    std::copy(label.begin(), label.end(), info.label);
    return true;
}

}  // namespace

CK_RV getTokenInfo(const HostContext& host, const HostByteVector* settingsVector, CK_TOKEN_INFO* info) {
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    // The settings only decide whether the default-PIN state is reported; a
    // host that has none yet (a blank card has no settings record) still
    // gets the rest.
    const TokenSettings settings = copyHostSettings(settingsVector).value_or(TokenSettings{});
    CardContext context(host);

    std::array<uint8_t, card::kCardIdentitySize> identity{};
    if (card::readCardIdentity(context, identity) != result::kOk) return CKR_TOKEN_NOT_RECOGNIZED;
    if (card::selectFile(context, card::kMasterFile) != result::kOk ||
        card::selectKeyDirectory(context) != result::kOk) {
        return CKR_TOKEN_NOT_RECOGNIZED;
    }
    const CK_FLAGS pinFlags = pinStateFlags(context);
    const auto state = readTokenState(context);
    if (!state) return CKR_TOKEN_NOT_RECOGNIZED;

    *info = CK_TOKEN_INFO{};
    fillText(info->label, std::string_view{});
    fillText(info->manufacturerID, kManufacturer);
    fillText(info->model, kModel);
    fillSerialNumber(*info, identity);
    info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | pinFlags;
    info->ulMaxSessionCount = kMaxSessions;
    info->ulMaxRwSessionCount = kMaxSessions;
    info->ulMaxPinLen = kMaxPinLength;
    info->ulMinPinLen = kMinPinLength;
    info->ulTotalPublicMemory = kTotalMemory;
    info->ulTotalPrivateMemory = kTotalMemory;
    info->ulFreePublicMemory = state->freeMemory;
    info->ulFreePrivateMemory = state->freeMemory;

    if (!state->initialised) return CKR_OK;
    if (!readLabel(context, *info)) return CKR_TOKEN_NOT_RECOGNIZED;
    info->flags |= CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;
    uint8_t mustChange = 0;
    if (tracksDefaultPin(settings) && readPinMustChange(context, mustChange) == result::kOk && mustChange == 1) {
        info->flags |= CKF_USER_PIN_TO_BE_CHANGED;
    }
    return CKR_OK;
}

}  // namespace korva::token
