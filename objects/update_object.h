// Attribute update (slot 18): a token object's label, identifier, serial
// number or data value changes in place.
#pragma once

#include "session/settings.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

// Slot 18. The changes are checked before the settings are needed (nothing:
// the host gave none).
abi::CK_RV setAttributes(const abi::HostContext& host, const abi::LoginRecord* login,
                         const std::optional<token::TokenSettings>& settings, const abi::ObjectHandle& handle,
                         std::span<const abi::CK_ATTRIBUTE> changes);

}  // namespace korva::objects
