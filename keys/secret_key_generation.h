// Slot 19: DES, two-key triple-DES and AES keys made from the card's own
// random numbers and stored through the same creation path as any other
// object (slot 11).
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>
#include <span>

namespace korva::keys {

// The template must name the class CKO_SECRET_KEY (missing:
// CKR_TEMPLATE_INCOMPLETE; another class: CKR_ATTRIBUTE_VALUE_INVALID) and
// may not carry a value of its own. CKM_AES_KEY_GEN needs CKA_VALUE_LEN of
// 16, 24 or 32; a CKA_KEY_TYPE the mechanism does not make is
// CKR_TEMPLATE_INCONSISTENT. The new key's handle and summary come from the
// creation path, whose result is returned.
abi::CK_RV generateSecretKey(const abi::HostContext& host, const abi::LoginRecord* login,
                             const abi::HostByteVector* settings, const abi::CK_ATTRIBUTE* tmpl, uint32_t count,
                             const abi::CK_MECHANISM* mechanism, abi::ObjectHandle* handle,
                             abi::ObjectSummary* summary);

// DES keys carry odd parity: bit 0 of every byte makes the number of set
// bits odd.
void setOddParity(std::span<uint8_t> key) noexcept;

}  // namespace korva::keys
