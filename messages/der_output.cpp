#include "messages/der_output.h"

#include "common/output_length.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <utility>

namespace korva::messages {

abi::CK_RV deliverDer(std::span<const uint8_t> der, uint8_t* output, abi::CK_ULONG* outputLength) noexcept {
    if (!std::in_range<abi::CK_ULONG>(der.size())) return abi::CKR_FUNCTION_FAILED;
    const OutputRoom room = claimOutput(output, *outputLength, der.size());
    if (room != OutputRoom::kFits) return outputRoomRv<abi::CK_RV>(room);
    std::ranges::copy(der, output);
    return abi::CKR_OK;
}

}  // namespace korva::messages
