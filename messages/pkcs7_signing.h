// A PKCS#7 SignedData message whose signature the card makes. OpenSSL
// builds and signs the message with a throw-away software key of the same
// kind; the card then signs the same digest and its signature takes the
// place of the software one in the only SignerInfo.
//
// Fixed options: content as binary, no authenticated attributes (so the
// signature is over the content's digest itself), no capabilities, the
// signer certificate first and the further certificates after it, the
// content embedded unless detached.
#pragma once

#include "messages/openssl_handles.h"

#include <cstdint>
#include <span>
#include <vector>

namespace korva::messages {

struct MessageParts {
    X509* signer;
    STACK_OF(X509) * further;  // may be null
    std::span<const uint8_t> data;
    bool detached;
};

// Signed with `key` over `digest`; null on failure.
Pkcs7Ptr signWithPlaceholder(const MessageParts& parts, EVP_PKEY* key, const EVP_MD* digest);

// The signature value of the message's only signer, or null when the
// message has no single signer.
ASN1_OCTET_STRING* signatureValue(PKCS7* message) noexcept;

// The DER of the message; empty on failure.
std::vector<uint8_t> encodeMessage(PKCS7* message);

}  // namespace korva::messages
