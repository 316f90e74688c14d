// Owning handles and byte conversions for OpenSSL big numbers, shared by the
// card's GOST and RSA arithmetic. Internal to the virtual card's crypto.
#pragma once

#include "wiped_bytes.h"

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace korva::sim::crypto {

struct BigNumberFree {
    void operator()(BIGNUM* number) const noexcept { BN_clear_free(number); }
};
struct BigNumberContextFree {
    void operator()(BN_CTX* context) const noexcept { BN_CTX_free(context); }
};
struct EcGroupFree {
    void operator()(EC_GROUP* group) const noexcept { EC_GROUP_free(group); }
};
struct EcPointFree {
    void operator()(EC_POINT* point) const noexcept { EC_POINT_clear_free(point); }
};

// Cleared on release whether or not it holds a secret: a BIGNUM does not say.
using BigNumber = std::unique_ptr<BIGNUM, BigNumberFree>;
using BigNumberContext = std::unique_ptr<BN_CTX, BigNumberContextFree>;
using EcGroup = std::unique_ptr<EC_GROUP, EcGroupFree>;
using EcPoint = std::unique_ptr<EC_POINT, EcPointFree>;

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
