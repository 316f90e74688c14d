// Attribute update (slot 18): a token object's label, identifier, serial
// number or data value changes in place.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>

namespace korva::objects {

// Slot 18.
abi::CK_RV setAttributes(const abi::HostContext& host, const abi::LoginRecord* login,
                         const abi::HostByteVector* settings, const abi::ObjectHandle* handle,
                         const abi::CK_ATTRIBUTE* tmpl, uint32_t count);

}  // namespace korva::objects
