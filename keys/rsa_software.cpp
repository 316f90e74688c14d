#include "keys/rsa_software.h"

#include "common/openssl_ptr.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <new>

namespace korva::keys {
namespace {

using PkeyContext = EvpPkeyCtxPtr;
using Pkey = EvpPkeyPtr;
// Every number taken out of a key may be secret: cleared before it is freed.
using Bignum = SecretBignumPtr;

constexpr int kModulusBits = static_cast<int>(kRsaModulusBytes) * 8;

Pkey generateKey(uint32_t exponent) {
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    Bignum e(BN_new());
    if (!context || !e || BN_set_word(e.get(), exponent) != 1 || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), kModulusBits) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), e.get()) != 1) {
        return nullptr;
    }
    EVP_PKEY* generated = nullptr;
    if (EVP_PKEY_keygen(context.get(), &generated) != 1) return nullptr;
    return Pkey(generated);
}

// A key parameter as exactly 128 big-endian bytes.
bool exportParameter(const EVP_PKEY* key, const char* name, WipedBytes& out) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
    const Bignum number(raw);
    if (BN_num_bytes(number.get()) > static_cast<int>(kRsaModulusBytes)) return false;
    out.assign(kRsaModulusBytes, 0);
    return BN_bn2binpad(number.get(), out.data(), static_cast<int>(out.size())) == static_cast<int>(out.size());
}

}  // namespace

bool generateSoftwareRsaKey(uint32_t exponent, SoftwareRsaKey& key) noexcept {
    try {
        const Pkey pair = generateKey(exponent);
        return pair && exportParameter(pair.get(), OSSL_PKEY_PARAM_RSA_N, key.modulus) &&
               exportParameter(pair.get(), OSSL_PKEY_PARAM_RSA_D, key.privateExponent);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace korva::keys
