#include "keys/derive_parameters.h"

#include <korva/pkcs11_constants.h>

#include <cstring>

namespace korva::keys {
namespace {

constexpr std::size_t kNumber = sizeof(uint32_t);

bool validSizes(uint32_t mechanism, std::size_t publicKey, std::size_t ukm) noexcept {
    if (publicKey != 64 && publicKey != 128) return false;
    // GOST R 34.10-2001 agreement takes the 8-byte UKM of its standard.
    if (mechanism == abi::CKM_GOSTR3410_DERIVE) return ukm == 8;
    return ukm >= 8 && ukm <= 32;
}

bool readPointerLayout(const abi::CK_MECHANISM& mechanism, DeriveInputs& inputs) noexcept {
    abi::CK_GOSTR3410_DERIVE_PARAMS params{};
    std::memcpy(&params, mechanism.pParameter, sizeof params);
    if (params.pPublicData == nullptr || params.pUKM == nullptr) return false;
    inputs.peerPublicKey = {params.pPublicData, params.ulPublicDataLen};
    inputs.ukm = {params.pUKM, params.ulUKMLen};
    return true;
}

// Every length is checked against what the parameter holds before the
// bytes behind it are taken.
bool readInlineLayout(const abi::CK_MECHANISM& mechanism, DeriveInputs& inputs) noexcept {
    const std::span<const uint8_t> parameter(static_cast<const uint8_t*>(mechanism.pParameter),
                                             mechanism.ulParameterLen);
    uint32_t publicLength = 0;
    std::memcpy(&publicLength, parameter.data() + kNumber, kNumber);
    // The parameter is at least 84 bytes long: no subtraction here wraps.
    if (publicLength > parameter.size() - 3 * kNumber) return false;
    const std::size_t ukmField = 2 * kNumber + publicLength;
    uint32_t ukmLength = 0;
    std::memcpy(&ukmLength, parameter.data() + ukmField, kNumber);
    if (ukmLength > parameter.size() - ukmField - kNumber) return false;
    inputs.peerPublicKey = parameter.subspan(2 * kNumber, publicLength);
    inputs.ukm = parameter.subspan(ukmField + kNumber, ukmLength);
    return true;
}

}  // namespace

abi::CK_RV parseDeriveParameter(const abi::CK_MECHANISM& mechanism, DeriveInputs& inputs) noexcept {
    const std::size_t length = mechanism.ulParameterLen;
    if (mechanism.pParameter == nullptr || length == 0) return abi::CKR_MECHANISM_PARAM_INVALID;
    bool read = false;
    if (length == sizeof(abi::CK_GOSTR3410_DERIVE_PARAMS)) {
        read = readPointerLayout(mechanism, inputs);
    } else if (length >= kShortestInlineDeriveParameter) {
        read = readInlineLayout(mechanism, inputs);
    }
    if (!read || !validSizes(mechanism.mechanism, inputs.peerPublicKey.size(), inputs.ukm.size())) {
        return abi::CKR_MECHANISM_PARAM_INVALID;
    }
    return abi::CKR_OK;
}

}  // namespace korva::keys
