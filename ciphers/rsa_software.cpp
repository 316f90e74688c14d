#include "ciphers/rsa_software.h"

#include "common/openssl_ptr.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <new>

namespace korva::ciphers {
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

bool rsaRawOperation(std::span<const uint8_t> modulus, std::span<const uint8_t> exponent, bool secret,
                     std::span<const uint8_t> block, std::span<uint8_t> out) noexcept {
    if (modulus.empty() || block.size() != modulus.size() || out.size() != modulus.size()) return false;
    const BnCtxPtr context(BN_CTX_new());
    const Bignum n(BN_bin2bn(modulus.data(), int(modulus.size()), nullptr));
    const Bignum x(BN_bin2bn(exponent.data(), int(exponent.size()), nullptr));
    const Bignum m(BN_bin2bn(block.data(), int(block.size()), nullptr));
    const Bignum result(BN_new());
    if (!context || !n || !x || !m || !result || BN_is_zero(n.get()) || BN_cmp(m.get(), n.get()) >= 0) return false;
    int done = 0;
    if (secret) {
        BN_set_flags(x.get(), BN_FLG_CONSTTIME);
        done = BN_mod_exp_mont_consttime(result.get(), m.get(), x.get(), n.get(), context.get(), nullptr);
    } else {
        done = BN_mod_exp(result.get(), m.get(), x.get(), n.get(), context.get());
    }
    return done == 1 && BN_bn2binpad(result.get(), out.data(), int(out.size())) == int(out.size());
}

}  // namespace korva::ciphers
