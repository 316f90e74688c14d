// What the steps of the token tour share: the user PIN of a newly
// initialised token and the making of the certificates they store or import.
#pragma once

#include "common/openssl_ptr.h"

#include <openssl/evp.h>

namespace korva::tour {

inline constexpr const char* kUserPin = "47102958";

// A version 3 certificate with `serial`, valid from now for 30 days, with
// nothing else filled in yet.
X509Ptr startCertificate(long serial);

// A certificate of `key` named CN=`commonName` and signed by the key itself;
// null when OpenSSL fails.
X509Ptr selfSignedCertificate(EVP_PKEY* key, const char* commonName, long serial);

}  // namespace korva::tour
