// Object creation (slot 11): a host template becomes a token object (a
// record, a body, and the bookkeeping), or, for a triple-DES key that is
// not a token object, an entry of the host's session-object table.
#pragma once

#include "session/settings.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

// Slot 11. May store a new session-table address in host.cookie. Only a
// token object needs the settings (nothing: the host gave none).
abi::CK_RV createObject(abi::HostContext& host, const abi::LoginRecord* login,
                        const std::optional<token::TokenSettings>& settings,
                        std::span<const abi::CK_ATTRIBUTE> hostTemplate, abi::ObjectHandle& handle,
                        abi::ObjectSummary* summary);

// The same creation for the operations that make a key or certificate from a
// list they built (secret-key generation, unwrapping, derivation, certificate
// import). Their slots take the host values by value, so a session-table
// address stored for a session object is not handed back; a null handle or
// settings vector is CKR_ARGUMENTS_BAD.
abi::CK_RV createBuiltObject(const abi::HostContext& host, const abi::LoginRecord* login,
                             const abi::HostByteVector* settings, std::span<const abi::CK_ATTRIBUTE> list,
                             abi::ObjectHandle* handle, abi::ObjectSummary* summary);

}  // namespace korva::objects
