// Owning handles for OpenSSL objects: one deleter template and one alias per
// object type, so that every layer frees an object the same way and no file
// needs a deleter struct of its own.
//
// It sits beside wiped_bytes.h in the header-only korva_wiped_bytes target:
// it needs nothing but OpenSSL either, and every layer that holds OpenSSL
// objects already links that target for its key buffers.
//
// Objects that may hold secrets have a clearing alias (Secret...) that frees
// with OpenSSL's clearing function; pick it wherever the value may be key
// material. An EVP_PKEY has no separate clearing call: EVP_PKEY_free already
// clears the private parts it owns.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include <memory>

namespace korva {

template <auto Free>
struct OpenSslDeleter {
    template <class T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};

template <class T, auto Free>
using OpenSslPtr = std::unique_ptr<T, OpenSslDeleter<Free>>;

using EvpMdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpCipherCtxPtr = OpenSslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using EvpPkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using BignumPtr = OpenSslPtr<BIGNUM, BN_free>;
using SecretBignumPtr = OpenSslPtr<BIGNUM, BN_clear_free>;
using BnCtxPtr = OpenSslPtr<BN_CTX, BN_CTX_free>;
using EcGroupPtr = OpenSslPtr<EC_GROUP, EC_GROUP_free>;
using SecretEcPointPtr = OpenSslPtr<EC_POINT, EC_POINT_clear_free>;
using X509Ptr = OpenSslPtr<X509, X509_free>;
using OsslParamBldPtr = OpenSslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using OsslParamPtr = OpenSslPtr<OSSL_PARAM, OSSL_PARAM_free>;

}  // namespace korva
