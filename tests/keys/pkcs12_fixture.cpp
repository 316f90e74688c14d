#include "tests/keys/pkcs12_fixture.h"

#include <openssl/ec.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>

namespace korva::test {

EvpPkeyPtr makeRsaKey(unsigned bits) { return EvpPkeyPtr(EVP_RSA_gen(bits)); }

EvpPkeyPtr makeGostKey(const char* paramset) {
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, nullptr));
    EVP_PKEY* key = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_ctrl_str(context.get(), "paramset", paramset) <= 0 || EVP_PKEY_keygen(context.get(), &key) != 1) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

EvpPkeyPtr makeEcKey(const char* curve) { return EvpPkeyPtr(EVP_EC_gen(curve)); }

// OpenSSL's EC keys know no GOST curve by name: the curve goes into the
// file as its numbers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
EvpPkeyPtr makeEcKeyOn(const messages::CurveRow& row) {
    const EcGroupPtr group = messages::buildCurve(row);
    EC_KEY* ecKey = EC_KEY_new();
    EvpPkeyPtr key(EVP_PKEY_new());
    if (!group || !ecKey || !key) {
        EC_KEY_free(ecKey);
        return nullptr;
    }
    EC_GROUP_set_curve_name(group.get(), NID_undef);
    EC_GROUP_set_asn1_flag(group.get(), OPENSSL_EC_EXPLICIT_CURVE);
    if (EC_KEY_set_group(ecKey, group.get()) != 1 || EC_KEY_generate_key(ecKey) != 1 ||
        EVP_PKEY_assign_EC_KEY(key.get(), ecKey) != 1) {
        EC_KEY_free(ecKey);
        return nullptr;
    }
    return key;
}
#pragma GCC diagnostic pop

X509Ptr makeCertificate(EVP_PKEY* key, const std::string& keyUsage) {
    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0x01020304);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("import subject"),
                               -1, -1, 0);
    X509_NAME* issuer = X509_get_issuer_name(certificate.get());
    X509_NAME_add_entry_by_txt(issuer, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("import issuer"), -1,
                               -1, 0);
    if (!keyUsage.empty()) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, keyUsage.c_str());
        X509_add_ext(certificate.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    const bool gost = EVP_PKEY_get_base_id(key) == NID_id_GostR3410_2012_256;
    if (X509_sign(certificate.get(), key, gost ? EVP_get_digestbyname("md_gost12_256") : EVP_sha256()) <= 0) {
        return nullptr;
    }
    return certificate;
}

Bytes derOf(X509* certificate) {
    const int length = i2d_X509(certificate, nullptr);
    Bytes der(size_t(length > 0 ? length : 0));
    unsigned char* cursor = der.data();
    i2d_X509(certificate, &cursor);
    return der;
}

Bytes makePkcs12(EVP_PKEY* key, X509* certificate, const std::string& password, Pkcs12Algorithms algorithms) {
    const bool legacy = algorithms == Pkcs12Algorithms::kLegacy;
    using Pkcs12Ptr = OpenSslPtr<PKCS12, PKCS12_free>;
    const Pkcs12Ptr file(PKCS12_create(password.c_str(), "imported", key, certificate, nullptr,
                                       legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0,
                                       legacy ? NID_pbe_WithSHA1And40BitRC2_CBC : 0, 0, 0, 0));
    if (!file) return {};
    const int length = i2d_PKCS12(file.get(), nullptr);
    Bytes der(size_t(length > 0 ? length : 0));
    unsigned char* cursor = der.data();
    i2d_PKCS12(file.get(), &cursor);
    return der;
}

// Loading a provider by hand ends the automatic loading of the default
// one, so both are loaded.
LegacyProvider::LegacyProvider()
    : default_(OSSL_PROVIDER_load(nullptr, "default")), legacy_(OSSL_PROVIDER_load(nullptr, "legacy")) {}

LegacyProvider::~LegacyProvider() {
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
}

}  // namespace korva::test
