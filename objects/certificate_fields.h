// The attributes a certificate's DER encoding yields when it is read:
// subject, issuer and serial number, each as its DER encoding.
#pragma once

#include "common/wiped_bytes.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::objects {

struct CertificateFields {
    WipedBytes subject;       // DER Name
    WipedBytes issuer;        // DER Name
    WipedBytes serialNumber;  // DER INTEGER, tag and length included
    std::size_t length = 0;   // bytes of the input the certificate takes up
};

// Decodes `der` as an X.509 certificate. False when it does not decode (or
// memory runs out). Bytes after the certificate are left alone: creation
// stores the caller's value without parsing it, and what the decoder reads
// as a certificate is one.
bool parseCertificateFields(std::span<const uint8_t> der, CertificateFields& fields) noexcept;

}  // namespace korva::objects
