// Object creation (slot 11): a host template becomes a token object (a
// record, a body, and the bookkeeping), or, for a triple-DES key that is
// not a token object, an entry of the host's session-object table.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>

namespace korva::objects {

// Slot 11. May store a new session-table address in host->cookie.
abi::CK_RV createObject(abi::HostContext* host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                        const abi::CK_ATTRIBUTE* tmpl, uint32_t count, abi::ObjectHandle* handle,
                        abi::ObjectSummary* summary);

}  // namespace korva::objects
