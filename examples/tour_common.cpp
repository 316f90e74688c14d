#include "examples/tour_common.h"

#include <openssl/x509.h>

namespace korva::tour {

X509Ptr startCertificate(long serial) {
    X509Ptr certificate(X509_new());
    if (!certificate) return nullptr;
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24 * 30);
    return certificate;
}

X509Ptr selfSignedCertificate(EVP_PKEY* key, const char* commonName, long serial) {
    X509Ptr certificate = startCertificate(serial);
    if (!certificate || key == nullptr) return nullptr;
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (X509_sign(certificate.get(), key, EVP_sha256()) <= 0) return nullptr;
    return certificate;
}

}  // namespace korva::tour
