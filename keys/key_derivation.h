// Slot 43: a GOST 28147-89 key agreed on the card (VKO GOST R 34.10) between
// one of its GOST private keys and a peer's public key, stored as a new
// secret key through the object creation path.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>

namespace korva::keys {

// CKM_GOSTR3410_DERIVE runs the GOST R 34.10-2001 agreement and
// CKM_GOSTR3410_12_DERIVE (only on a card that knows GOST R 34.10-2012) the
// 2012 one; anything else is CKR_MECHANISM_INVALID. The parameter is read as
// derive_parameters.h says. The base key must be a GOST private key of 50 00
// with CKA_DERIVE true. The template supplies the new key's attributes; the
// agreed 32 bytes are its value, and it is private unless the template
// says otherwise.
abi::CK_RV deriveKey(const abi::HostContext& host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                     const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* baseKey,
                     const abi::CK_ATTRIBUTE* tmpl, uint32_t count, abi::ObjectHandle* handle,
                     abi::ObjectSummary* summary);

}  // namespace korva::keys
