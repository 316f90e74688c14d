// The PIN slots: log in, set the user PIN as security officer, change a
// PIN, and the user-session set-up that follows a login.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::token {

// Slot 7.
abi::CK_RV login(const HostContext& host, const uint8_t* pin, uint32_t pinLength, uint32_t userType);

// Slot 4: the security officer (logged in through `record`) sets and
// unblocks the user PIN.
abi::CK_RV initUserPin(const HostContext& host, const abi::LoginRecord* record, const abi::HostByteVector* settings,
                       const uint8_t* pin, uint32_t pinLength);

// Slot 5.
abi::CK_RV setPin(const HostContext& host, const abi::HostByteVector* settings, const uint8_t* oldPin,
                  uint32_t oldLength, const uint8_t* newPin, uint32_t newLength, uint32_t userType);

// Slot 67.
abi::CK_RV openUserSession(const HostContext* host, const abi::LoginRecord* record);

}  // namespace korva::token
