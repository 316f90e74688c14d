// Certificates as token objects: slot 47 stores a DER certificate with the
// caller's label and identifier; PKCS#12 import stores the certificate of
// its key pair the same way.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>
#include <span>

namespace korva::import {

struct CertificateInput {
    std::span<const uint8_t> label;
    std::span<const uint8_t> id;
    std::span<const uint8_t> der;
};

// Decodes the certificate (not one, or bytes after it:
// CKR_DATA_INVALID) and creates its object through the creation path,
// whose result is returned: an X.509 certificate object, a token object,
// public and not modifiable, with subject, issuer and serial number taken
// from the certificate.
abi::CK_RV createCertificateObject(const abi::HostContext& host, const abi::LoginRecord* login,
                                   const abi::HostByteVector* settings, const CertificateInput& certificate,
                                   abi::ObjectSummary* summary);

// Slot 47. `label` is zero-terminated text or null (an empty label); a null
// `id` counts as empty. A null or empty certificate is CKR_ARGUMENTS_BAD;
// the login step runs first (failure: CKR_FUNCTION_FAILED). The new handle
// is not reported.
abi::CK_RV importCertificate(const abi::HostContext& host, const abi::LoginRecord* login,
                             const abi::HostByteVector* settings, const char* label, const uint8_t* id,
                             uint32_t idLength, const uint8_t* der, uint32_t derLength);

}  // namespace korva::import
