#include "host/hash_and_sign.h"

#include "common/openssl_error_mark.h"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace korva::host {

struct HashAndSign {
    ck_mechanism_type_t type;
    const EVP_MD* (*digest)();
    // DigestInfo up to the digest: SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING (digest length) }
    std::array<uint8_t, 19> prefix;
    size_t prefixLength;
};

namespace {

constexpr HashAndSign kMechanisms[] = {
    {CKM_SHA1_RSA_PKCS,
     EVP_sha1,
     {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14},
     15},
    {CKM_SHA256_RSA_PKCS,
     EVP_sha256,
     {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20},
     19},
    {CKM_SHA384_RSA_PKCS,
     EVP_sha384,
     {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30},
     19},
    {CKM_SHA512_RSA_PKCS,
     EVP_sha512,
     {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40},
     19},
};

constexpr ck_mechanism_type_t kTypes[] = {CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS,
                                          CKM_SHA512_RSA_PKCS};

}  // namespace

const HashAndSign* findHashAndSign(ck_mechanism_type_t type) {
    for (const HashAndSign& mechanism : kMechanisms)
        if (mechanism.type == type) return &mechanism;
    return nullptr;
}

std::span<const ck_mechanism_type_t> hashAndSignTypes() { return kTypes; }

std::span<const uint8_t> cardInput(const HashAndSign* mechanism, std::span<const uint8_t> data, WipedBytes& storage) {
    if (mechanism == nullptr) return data;
    const OpenSslErrorMark mark;
    const EVP_MD* digest = mechanism->digest();
    const auto digestLength = static_cast<size_t>(EVP_MD_get_size(digest));
    storage.assign(mechanism->prefix.begin(),
                   mechanism->prefix.begin() + static_cast<std::ptrdiff_t>(mechanism->prefixLength));
    storage.resize(mechanism->prefixLength + digestLength);
    unsigned int written = 0;
    if (EVP_Digest(data.data(), data.size(), storage.data() + mechanism->prefixLength, &written, digest, nullptr) !=
            1 ||
        written != digestLength)
        throw std::runtime_error("digest failed");
    return storage;
}

SignatureMechanism::SignatureMechanism(const ck_mechanism* given)
    : given_(given), hashAndSign_(given == nullptr ? nullptr : findHashAndSign(given->mechanism)) {}

ck_rv_t SignatureMechanism::check(bool recover) const {
    if (hashAndSign_ == nullptr) return CKR_OK;
    if (recover) return CKR_MECHANISM_INVALID;
    if (given_->parameter != nullptr || given_->parameter_len != 0) return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

}  // namespace korva::host
