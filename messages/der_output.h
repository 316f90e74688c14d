// Handing a finished DER encoding to the host, with the length query of
// PKCS#11: a null buffer asks for the length, a buffer too small gets the
// needed length and CKR_BUFFER_TOO_SMALL.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>

namespace korva::messages {

abi::CK_RV deliverDer(std::span<const uint8_t> der, uint8_t* output, abi::CK_ULONG* outputLength) noexcept;

}  // namespace korva::messages
