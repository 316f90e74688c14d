#include "import/pkcs12_reader.h"

#include "common/openssl_error_mark.h"
#include "common/openssl_ptr.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <korva/pkcs11_constants.h>

#include <array>
#include <climits>
#include <new>

namespace korva::import {
namespace {

using Pkcs12Ptr = OpenSslPtr<PKCS12, PKCS12_free>;

bool macVerificationFailed() noexcept {
    const unsigned long error = ERR_peek_last_error();
    return ERR_GET_LIB(error) == ERR_LIB_PKCS12 && ERR_GET_REASON(error) == PKCS12_R_MAC_VERIFY_FAILURE;
}

// The length of a number counted in whole 32-bit words.
std::size_t wordBytes(const BIGNUM* number) noexcept { return std::size_t(BN_num_bits(number) + 31) / 32 * 4; }

struct RsaNumber {
    const char* name;
    enum class Size : uint8_t { Modulus, AtMostModulus, HalfModulus, AtMostHalf, AtMost8 } size;
};

// The parts of a key a card key object is built from, and the checks on
// the others that make sure the file holds one whole key of that size.
constexpr std::array<RsaNumber, 8> kRsaNumbers = {{
    {OSSL_PKEY_PARAM_RSA_N, RsaNumber::Size::Modulus},
    {OSSL_PKEY_PARAM_RSA_E, RsaNumber::Size::AtMost8},
    {OSSL_PKEY_PARAM_RSA_D, RsaNumber::Size::AtMostModulus},
    {OSSL_PKEY_PARAM_RSA_FACTOR1, RsaNumber::Size::HalfModulus},
    {OSSL_PKEY_PARAM_RSA_FACTOR2, RsaNumber::Size::HalfModulus},
    {OSSL_PKEY_PARAM_RSA_EXPONENT1, RsaNumber::Size::AtMostHalf},
    {OSSL_PKEY_PARAM_RSA_EXPONENT2, RsaNumber::Size::AtMostHalf},
    {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, RsaNumber::Size::AtMostHalf},
}};

bool sizeFits(const BIGNUM* number, RsaNumber::Size size, std::size_t modulusBytes) noexcept {
    const std::size_t bytes = wordBytes(number);
    switch (size) {
        case RsaNumber::Size::Modulus: return bytes == 128 || bytes == 256;
        case RsaNumber::Size::AtMostModulus: return bytes <= modulusBytes;
        case RsaNumber::Size::HalfModulus: return bytes == modulusBytes / 2;
        case RsaNumber::Size::AtMostHalf: return bytes <= modulusBytes / 2;
        case RsaNumber::Size::AtMost8: return std::size_t(BN_num_bytes(number)) <= 8;
    }
    return false;
}

bool exportNumber(const BIGNUM* number, std::size_t length, WipedBytes& out) {
    out.assign(length, 0);
    return BN_bn2binpad(number, out.data(), int(length)) == int(length);
}

abi::CK_RV readRsaKey(const EVP_PKEY* key, Pkcs12Contents& contents) {
    std::array<SecretBignumPtr, kRsaNumbers.size()> numbers;
    std::size_t modulusBytes = 0;
    for (std::size_t i = 0; i < kRsaNumbers.size(); ++i) {
        BIGNUM* raw = nullptr;
        if (EVP_PKEY_get_bn_param(key, kRsaNumbers[i].name, &raw) != 1) return abi::CKR_DATA_INVALID;
        numbers[i].reset(raw);
        if (i == 0) modulusBytes = wordBytes(raw);
        if (!sizeFits(raw, kRsaNumbers[i].size, modulusBytes)) return abi::CKR_DATA_INVALID;
    }
    if (!exportNumber(numbers[0].get(), modulusBytes, contents.modulus) ||
        !exportNumber(numbers[1].get(), std::size_t(BN_num_bytes(numbers[1].get())), contents.publicExponent) ||
        !exportNumber(numbers[2].get(), modulusBytes, contents.privateExponent)) {
        return abi::CKR_HOST_MEMORY;
    }
    contents.keyFamily = objects::KeyFamily::Rsa;
    return abi::CKR_OK;
}

// The GOST R 34.10-2001 parameter sets OpenSSL knows (through the GOST
// engine), with the engine's paramset text for each: test, CryptoPro A, B
// and C, and the two key-exchange sets.
struct Gost2001Curve {
    int nid;
    const char* paramset;
};
constexpr std::array<Gost2001Curve, 6> kGost2001Curves = {{
    {NID_id_GostR3410_2001_TestParamSet, "0"},
    {NID_id_GostR3410_2001_CryptoPro_A_ParamSet, "A"},
    {NID_id_GostR3410_2001_CryptoPro_B_ParamSet, "B"},
    {NID_id_GostR3410_2001_CryptoPro_C_ParamSet, "C"},
    {NID_id_GostR3410_2001_CryptoPro_XchA_ParamSet, "XA"},
    {NID_id_GostR3410_2001_CryptoPro_XchB_ParamSet, "XB"},
}};

// The engine's GOST keys are legacy keys holding an EC_KEY, and OpenSSL's
// own EC keys give one up on request: the only way to reach the curve and
// the numbers of both.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
const EC_KEY* ecKeyOf(const EVP_PKEY* key) noexcept {
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC) return EVP_PKEY_get0_EC_KEY(key);
    return static_cast<const EC_KEY*>(EVP_PKEY_get0(key));
}

// An EC key carries a GOST curve as explicit numbers (OpenSSL names only
// its own curves when it decodes one): compared with the engine's curve
// for each set.
bool isGost2001Group(const EC_GROUP* group) noexcept {
    const int nid = EC_GROUP_get_curve_name(group);
    const BnCtxPtr scratch(BN_CTX_new());
    for (const Gost2001Curve& curve : kGost2001Curves) {
        if (nid == curve.nid) return true;
        if (nid != NID_undef || !scratch) continue;
        const EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2001, nullptr));
        EVP_PKEY* parameters = nullptr;
        if (!context || EVP_PKEY_paramgen_init(context.get()) != 1 ||
            EVP_PKEY_CTX_ctrl_str(context.get(), "paramset", curve.paramset) <= 0 ||
            EVP_PKEY_paramgen(context.get(), &parameters) != 1) {
            continue;
        }
        const EvpPkeyPtr owned(parameters);
        const auto* engineKey = static_cast<const EC_KEY*>(EVP_PKEY_get0(owned.get()));
        if (engineKey && EC_GROUP_cmp(EC_KEY_get0_group(engineKey), group, scratch.get()) == 0) return true;
    }
    return false;
}

bool lengthFits(const BIGNUM* number) noexcept {
    const int bytes = BN_num_bytes(number);
    return bytes >= 15 && bytes <= 32;
}

// An EC or GOST R 34.10 key on a 2001 curve with 15- to 32-byte private
// value and public x: the card cannot take it in, and the caller refuses it
// as a failure of the token; any other curve is data the token does not
// know. A GOST R 34.10-2012 256-bit key counts here as a 2001 key when it
// lies on a 2001 curve: the two differ only in the digest that goes with
// the key, and the card's 256-bit curves are the 2001 sets.
abi::CK_RV readEcKey(const EVP_PKEY* key, Pkcs12Contents& contents) {
    const EC_KEY* ecKey = ecKeyOf(key);
    const EC_GROUP* group = ecKey ? EC_KEY_get0_group(ecKey) : nullptr;
    const BIGNUM* privateValue = ecKey ? EC_KEY_get0_private_key(ecKey) : nullptr;
    const EC_POINT* publicPoint = ecKey ? EC_KEY_get0_public_key(ecKey) : nullptr;
    if (!group || !privateValue || !publicPoint || !isGost2001Group(group)) return abi::CKR_DATA_INVALID;
    const SecretBignumPtr x(BN_new());
    if (!x) return abi::CKR_HOST_MEMORY;
    if (EC_POINT_get_affine_coordinates(group, publicPoint, x.get(), nullptr, nullptr) != 1 ||
        !lengthFits(privateValue) || !lengthFits(x.get())) {
        return abi::CKR_DATA_INVALID;
    }
    contents.keyFamily = objects::KeyFamily::Gost;
    return abi::CKR_OK;
}
#pragma GCC diagnostic pop

abi::CK_RV readKey(const EVP_PKEY* key, Pkcs12Contents& contents) {
    switch (EVP_PKEY_get_base_id(key)) {
        case EVP_PKEY_RSA: return readRsaKey(key, contents);
        case EVP_PKEY_EC:
        case NID_id_GostR3410_2001:
        case NID_id_GostR3410_2012_256: return readEcKey(key, contents);
        default: return abi::CKR_DATA_INVALID;
    }
}

abi::CK_RV readCertificate(X509* certificate, Pkcs12Contents& contents) {
    const int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return abi::CKR_DATA_INVALID;
    contents.certificate.resize(std::size_t(length));
    unsigned char* cursor = contents.certificate.data();
    if (i2d_X509(certificate, &cursor) != length) return abi::CKR_DATA_INVALID;
    const uint32_t usage = X509_get_key_usage(certificate);
    contents.keyUsage = usage == UINT32_MAX ? 0 : uint8_t(usage);
    return abi::CKR_OK;
}

}  // namespace

abi::CK_RV readPkcs12(std::span<const uint8_t> data, const char* password, Pkcs12Contents& contents) {
    if (data.empty() || data.size() > std::size_t(LONG_MAX)) return abi::CKR_DATA_INVALID;
    const OpenSslErrorMark mark;
    const unsigned char* cursor = data.data();
    const Pkcs12Ptr file(d2i_PKCS12(nullptr, &cursor, long(data.size())));
    if (!file) return abi::CKR_DATA_INVALID;
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    if (PKCS12_parse(file.get(), password, &rawKey, &rawCertificate, nullptr) != 1) {
        return macVerificationFailed() ? abi::CKR_PIN_INCORRECT : abi::CKR_DATA_INVALID;
    }
    const EvpPkeyPtr key(rawKey);
    const X509Ptr certificate(rawCertificate);
    if (!key || !certificate) return abi::CKR_DATA_INVALID;
    if (const abi::CK_RV rv = readKey(key.get(), contents); rv != abi::CKR_OK) return rv;
    return readCertificate(certificate.get(), contents);
}

}  // namespace korva::import
