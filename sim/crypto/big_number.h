// Owning handles and byte conversions for OpenSSL big numbers, shared by the
// card's GOST and RSA arithmetic. Internal to the virtual card's crypto.
#pragma once

#include "common/openssl_ptr.h"
#include "common/wiped_bytes.h"

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::sim::crypto {

// The card's arithmetic names for the shared handles. Numbers and points
// are cleared on release whether or not they hold a secret: a BIGNUM does
// not say.
using BigNumber = SecretBignumPtr;
using BigNumberContext = BnCtxPtr;
using EcGroup = EcGroupPtr;
using EcPoint = SecretEcPointPtr;

inline BigNumber newBigNumber() { return BigNumber(BN_new()); }

// Big-endian bytes to a number; null on allocation failure.
inline BigNumber bigNumberFromBytes(std::span<const uint8_t> bytes) {
    return BigNumber(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

// The number as exactly `width` big-endian bytes (zero-padded on the left);
// empty when it does not fit.
inline WipedBytes bigNumberToBytes(const BIGNUM* number, std::size_t width) {
    WipedBytes bytes(width);
    if (BN_bn2binpad(number, bytes.data(), static_cast<int>(width)) != static_cast<int>(width)) {
        return {};
    }
    return bytes;
}

}  // namespace korva::sim::crypto
