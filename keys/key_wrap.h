// Slots 41 and 42: the GOST 28147-89 key wrap of 36 bytes. A 32-byte GOST
// 28147-89 key is enciphered in ECB under a wrapping key, followed by the
// 32-bit MAC of the plain key computed under the same key with the 8-byte
// UKM (the mechanism's parameter; eight zero bytes without one) as its
// initial value. The UKM is not part of the output.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstddef>
#include <cstdint>

namespace korva::keys {

inline constexpr std::size_t kWrappedKeyLength = 36;

// Slot 41. Both keys are GOST 28147-89 keys of 50 03: the wrapping key may
// wrap unless its record says CKA_WRAP false, the wrapped key only with
// CKA_EXTRACTABLE true. A null output asks for the length (36) without
// touching the card; a shorter output is CKR_BUFFER_TOO_SMALL.
abi::CK_RV wrapKey(const abi::HostContext& host, const abi::LoginRecord* login, const abi::CK_MECHANISM* mechanism,
                   const abi::ObjectHandle* wrappingKey, const abi::ObjectHandle* key, uint8_t* output,
                   abi::CK_ULONG* outputLength);

// Slot 42. Wrapped data of another length than 36 is
// CKR_FUNCTION_NOT_SUPPORTED; a MAC that does not match
// CKR_SIGNATURE_INVALID, and nothing is created. The new key takes the
// template's attributes with the unwrapped value, its key type and
// CKA_LOCAL false; a template that leaves no room for them is
// CKR_VENDOR_ATTRIBUTE_LIST_FULL.
abi::CK_RV unwrapKey(const abi::HostContext& host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                     const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* unwrappingKey,
                     const uint8_t* wrappedKey, abi::CK_ULONG wrappedKeyLength, const abi::CK_ATTRIBUTE* tmpl,
                     abi::CK_ULONG count, abi::ObjectHandle* handle, abi::ObjectSummary* summary);

}  // namespace korva::keys
