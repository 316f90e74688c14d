#include "objects/certificate_fields.h"

#include "common/openssl_ptr.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <limits>
#include <new>

namespace korva::objects {

namespace {

// Appends the DER encoding that `encode` (an i2d function) produces.
template <typename T, typename Encode>
bool encodeInto(const T* object, Encode encode, WipedBytes& out) {
    const int length = encode(object, nullptr);
    if (length <= 0) return false;
    out.assign(std::size_t(length), 0);
    unsigned char* cursor = out.data();
    return encode(object, &cursor) == length;
}

}  // namespace

bool parseCertificateFields(std::span<const uint8_t> der, CertificateFields& fields) noexcept {
    if (der.empty() || der.size() > std::size_t(std::numeric_limits<long>::max())) return false;
    try {
        const unsigned char* cursor = der.data();
        X509Ptr certificate(d2i_X509(nullptr, &cursor, long(der.size())));
        if (!certificate) return false;
        fields.length = std::size_t(cursor - der.data());
        return encodeInto(X509_get_subject_name(certificate.get()), i2d_X509_NAME, fields.subject) &&
               encodeInto(X509_get_issuer_name(certificate.get()), i2d_X509_NAME, fields.issuer) &&
               encodeInto(X509_get0_serialNumber(certificate.get()), i2d_ASN1_INTEGER, fields.serialNumber);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace korva::objects
