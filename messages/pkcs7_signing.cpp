#include "messages/pkcs7_signing.h"

#include <openssl/objects.h>

#include <vector>

namespace korva::messages {
namespace {

constexpr int kFlags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_NOSMIMECAP;

bool addCertificates(PKCS7* message, X509* signer, STACK_OF(X509) * further) {
    if (PKCS7_add_certificate(message, signer) != 1) return false;
    for (int i = 0; i < sk_X509_num(further); ++i)
        if (PKCS7_add_certificate(message, sk_X509_value(further, i)) != 1) return false;
    return true;
}

}  // namespace

Pkcs7Ptr signWithPlaceholder(const MessageParts& parts, EVP_PKEY* key, const EVP_MD* digest) {
    Pkcs7Ptr message(PKCS7_new());
    if (!message || PKCS7_set_type(message.get(), NID_pkcs7_signed) != 1 ||
        PKCS7_content_new(message.get(), NID_pkcs7_data) != 1 ||
        PKCS7_add_signature(message.get(), parts.signer, key, digest) == nullptr ||
        !addCertificates(message.get(), parts.signer, parts.further)) {
        return nullptr;
    }
    if (parts.detached && PKCS7_set_detached(message.get(), 1) != 1) return nullptr;
    const BioPtr content(BIO_new_mem_buf(parts.data.data(), int(parts.data.size())));
    const int flags = kFlags | (parts.detached ? PKCS7_DETACHED : 0);
    if (!content || PKCS7_final(message.get(), content.get(), flags) != 1) return nullptr;
    return message;
}

ASN1_OCTET_STRING* signatureValue(PKCS7* message) noexcept {
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(message);
    if (sk_PKCS7_SIGNER_INFO_num(signers) != 1) return nullptr;
    return sk_PKCS7_SIGNER_INFO_value(signers, 0)->enc_digest;
}

std::vector<uint8_t> encodeMessage(PKCS7* message) {
    const int length = i2d_PKCS7(message, nullptr);
    if (length <= 0) return {};
    std::vector<uint8_t> der(std::size_t(length), 0);
    unsigned char* cursor = der.data();
    if (i2d_PKCS7(message, &cursor) != length) return {};
    return der;
}

}  // namespace korva::messages
