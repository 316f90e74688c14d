// The card's PIN commands as the module uses them: VERIFY, the retry-counter
// query, CHANGE REFERENCE DATA, and the login step that every slot taking a
// LoginRecord runs before its own commands.
//
// The card knows two PINs by ISO 7816 reference: 05 for the security officer
// and 07 for the user, plus the SO-derived credential under 09.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>

#include <cstdint>
#include <span>

namespace korva::token {

namespace user_type {
inline constexpr uint32_t kSecurityOfficer = 0;
inline constexpr uint32_t kUser = 1;
}  // namespace user_type

namespace pin_reference {
inline constexpr uint8_t kSecurityOfficer = 0x05;
inline constexpr uint8_t kUser = 0x07;
inline constexpr uint8_t kDerivedCredential = 0x09;
}  // namespace pin_reference

// Reference 05 for the security officer, 07 for every other user type.
constexpr uint8_t pinReferenceOf(uint32_t userType) noexcept {
    return userType == user_type::kSecurityOfficer ? pin_reference::kSecurityOfficer : pin_reference::kUser;
}

// The user PIN that a freshly initialised token carries.
inline constexpr uint8_t kDefaultUserPin[] = {'4', '7', '1', '0', '2', '9', '5', '8'};

// VERIFY 00 20 00 P2 08 + PIN block, honouring context.loginFlags (select
// 05 1F before, A1 BC or A1 BC 7F 01 after). Returns kOk, kBadArgumentOrTransport
// (selection or transport failure), kPinIncorrect (also for a PIN longer
// than 8 bytes, which is not sent), kPinBlocked or kUnexpected.
CardResult verify(CardContext& context, std::span<const uint8_t> pin, uint32_t userType) noexcept;

// VERIFY without data: how many tries the PIN has left. 0xFF means the PIN
// is already verified in the current security state. kOk or kUnexpected.
CardResult retriesLeft(CardContext& context, bool user, uint8_t& count) noexcept;

// CHANGE REFERENCE DATA 00 24 01 P2 08 + PIN block (flag 1), P2 by user
// type. A PIN longer than 8 bytes gives kPinIncorrect without traffic.
CardResult changeReference(CardContext& context, std::span<const uint8_t> pin, uint32_t userType) noexcept;

// 00 24 01 reference Lc data in one raw exchange (flag 0), the form used to
// set a PIN by the security officer and to store the derived credential.
// The command buffer is wiped afterwards. Data must be shorter than 256.
CardResult setReferenceData(CardContext& context, uint8_t reference, std::span<const uint8_t> data) noexcept;

// The login step: for user type 0 or 1 with a non-zero PIN length, verify
// with loginFlags 0x05; otherwise nothing is sent and the result is kOk.
// A null record means no login.
CardResult loginWith(CardContext& context, const abi::LoginRecord* record) noexcept;

}  // namespace korva::token
