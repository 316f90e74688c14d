#include "messages/der_output.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <utility>

namespace korva::messages {

abi::CK_RV deliverDer(std::span<const uint8_t> der, uint8_t* output, abi::CK_ULONG* outputLength) noexcept {
    if (!std::in_range<abi::CK_ULONG>(der.size())) return abi::CKR_FUNCTION_FAILED;
    const auto needed = static_cast<abi::CK_ULONG>(der.size());
    const abi::CK_ULONG available = *outputLength;
    *outputLength = needed;
    if (output == nullptr) return abi::CKR_OK;
    if (available < needed) return abi::CKR_BUFFER_TOO_SMALL;
    std::ranges::copy(der, output);
    return abi::CKR_OK;
}

}  // namespace korva::messages
