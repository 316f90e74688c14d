// Slot 20: a key pair made on the token and stored as two token objects,
// the public key in 50 01 and the private key in 50 00.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::keys {

// Dispatches on the mechanism (RSA 1024, GOST R 34.10 256- or 512-bit),
// generates and stores the pair, and moves the counters file so that hosts
// caching the token's contents see the change. A pair made but not counted
// is CKR_FUNCTION_FAILED with both objects present. Only the mechanism's
// type is read; its parameter is ignored.
abi::CK_RV generateKeyPair(const HostContext& host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                           const abi::CK_ATTRIBUTE* publicTemplate, uint32_t publicCount,
                           const abi::CK_ATTRIBUTE* privateTemplate, uint32_t privateCount,
                           const abi::CK_MECHANISM* mechanism, abi::ObjectHandle* publicHandle,
                           abi::ObjectHandle* privateHandle, abi::ObjectSummary* publicSummary,
                           abi::ObjectSummary* privateSummary) noexcept;

}  // namespace korva::keys
