#include "token/login.h"

#include "token/counters.h"
#include "session/credential.h"
#include "session/pin.h"
#include "session/pin_block.h"
#include "session/settings.h"
#include "token/transient_keys.h"

#include "card/credentials.h"
#include "card/select.h"

#include <span>

namespace korva::token {

namespace {

abi::CK_RV mapLoginFailure(CardResult rc) noexcept {
    switch (rc) {
        case result::kPinIncorrect: return abi::CKR_PIN_INCORRECT;
        case result::kPinBlocked: return abi::CKR_PIN_LOCKED;
        default: return abi::CKR_FUNCTION_FAILED;
    }
}

// The change itself, once the old PIN has been verified: the new PIN, then
// what depends on it.
CardResult replacePin(CardContext& context, const TokenSettings& settings, std::span<const uint8_t> newPin,
                      uint32_t userType) {
    if (const CardResult rc = changeReference(context, newPin, userType); rc != result::kOk) return rc;
    if (const CardResult rc = card::selectApplicationSubdirectory(context); rc != result::kOk) return rc;
    if (userType == user_type::kUser) return recordUserPinChange(context, settings, newPin);
    // A new SO PIN needs a new derived credential, or the card would keep
    // accepting the one of the old PIN.
    const auto block = PinBlock::fromPin(newPin);
    Credential credential;
    if (!block || !deriveCredential(*block, credential)) return result::kUnexpected;
    return setReferenceData(context, pin_reference::kDerivedCredential, credential.bytes);
}

// The security officer sets the user PIN: log in, store the new PIN in 05 1F,
// lift a block, prove the PIN, then the bookkeeping of the counters file.
CardResult setUserPin(CardContext& context, const abi::LoginRecord* record, const TokenSettings& settings,
                      std::span<const uint8_t> newPin) {
    const auto block = PinBlock::fromPin(newPin);
    if (!block) return result::kBadArgumentOrTransport;
    if (const CardResult rc = loginWith(context, record); rc != result::kOk) return rc;
    if (const CardResult rc = card::selectKeyDirectory(context); rc != result::kOk) return rc;
    if (const CardResult rc = setReferenceData(context, pin_reference::kUser, block->bytes()); rc != result::kOk) {
        return rc;
    }
    if (const CardResult rc = card::resetRetryCounter(context); rc != result::kOk) return rc;
    // Verifying the new PIN at once proves the card took it and leaves the
    // user logged in, with the application subdirectory selected.
    context.loginFlags = login_flags::kSelectSubdirectoryAfter;
    if (const CardResult rc = verify(context, newPin, user_type::kUser); rc != result::kOk) return rc;
    return recordUserPinChange(context, settings, newPin);
}

}  // namespace

abi::CK_RV login(const HostContext& host, const uint8_t* pin, uint32_t pinLength, uint32_t userType) {
    if (pinLength > kMaxPinLength) return abi::CKR_PIN_INCORRECT;
    if (pin == nullptr && pinLength != 0) return abi::CKR_ARGUMENTS_BAD;
    CardContext context(host);
    context.loginFlags = login_flags::kSelectPinDirectoryFirst;
    const CardResult rc = verify(context, std::span(pin, pinLength), userType);
    if (rc != result::kOk) return mapLoginFailure(rc);
    if (userType == user_type::kUser) {
        // Leftovers of earlier sessions go; a failure here does not undo the
        // login the card has already granted.
        (void)purgeTransientSecretKeys(context);
    }
    return abi::CKR_OK;
}

abi::CK_RV initUserPin(const HostContext& host, const abi::LoginRecord* record,
                       const abi::HostByteVector* settingsVector, const uint8_t* pin, uint32_t pinLength) {
    if (pin == nullptr) return abi::CKR_ARGUMENTS_BAD;
    if (!isAcceptablePinLength(pinLength)) return abi::CKR_PIN_LEN_RANGE;
    const auto settings = copyHostSettings(settingsVector);
    if (!settings) return abi::CKR_ARGUMENTS_BAD;
    CardContext context(host);
    const bool done = setUserPin(context, record, *settings, std::span(pin, pinLength)) == result::kOk;
    return done ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

abi::CK_RV setPin(const HostContext& host, const abi::HostByteVector* settingsVector, const uint8_t* oldPin,
                  uint32_t oldLength, const uint8_t* newPin, uint32_t newLength, uint32_t userType) {
    if (oldPin == nullptr || newPin == nullptr) return abi::CKR_ARGUMENTS_BAD;
    if (!isAcceptablePinLength(oldLength)) return abi::CKR_PIN_INCORRECT;
    if (!isAcceptablePinLength(newLength)) return abi::CKR_PIN_LEN_RANGE;
    const auto settings = copyHostSettings(settingsVector);
    if (!settings) return abi::CKR_ARGUMENTS_BAD;

    CardContext context(host);
    context.loginFlags = login_flags::kSelectPinDirectoryFirst;
    const CardResult verified = verify(context, std::span(oldPin, oldLength), userType);
    if (verified == result::kPinIncorrect) return abi::CKR_PIN_INCORRECT;
    if (verified != result::kOk) return abi::CKR_FUNCTION_FAILED;
    return replacePin(context, *settings, std::span(newPin, newLength), userType) == result::kOk
               ? abi::CKR_OK
               : abi::CKR_FUNCTION_FAILED;
}

abi::CK_RV openUserSession(const HostContext* host, const abi::LoginRecord* record) {
    if (host == nullptr || record == nullptr) return abi::CKR_ARGUMENTS_BAD;
    if (record->userType != user_type::kUser) return abi::CKR_OK;
    CardContext context(*host);
    TokenSettings settings{};
    const bool done =
        card::selectApplicationSubdirectory(context) == result::kOk && loginWith(context, record) == result::kOk &&
        readSettingsRecord(context, settings) == result::kOk && purgeTransientSecretKeys(context) == result::kOk;
    return done ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

}  // namespace korva::token
