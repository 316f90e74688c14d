// PKCS#12 files and certificates made with OpenSSL for the import tests:
// a key, a self-signed certificate of it (with or without keyUsage), and
// the file as `openssl pkcs12 -export` writes it today, or with the legacy
// algorithms.
#pragma once

#include "common/openssl_ptr.h"
#include "messages/curve_tables.h"

#include <openssl/provider.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korva::test {

using Bytes = std::vector<uint8_t>;

EvpPkeyPtr makeRsaKey(unsigned bits);
// A GOST R 34.10-2012 256-bit key through the engine on the curve the
// engine's `paramset` text names (null without the engine).
EvpPkeyPtr makeGostKey(const char* paramset);
// An OpenSSL EC key on a curve of its own, by name, or on a GOST curve.
EvpPkeyPtr makeEcKey(const char* curve);
EvpPkeyPtr makeEcKeyOn(const messages::CurveRow& row);
// `keyUsage` as the configuration text takes it ("digitalSignature"), or
// empty for no extension.
X509Ptr makeCertificate(EVP_PKEY* key, const std::string& keyUsage);
Bytes derOf(X509* certificate);

enum class Pkcs12Algorithms { kToday, kLegacy };
// An empty vector when OpenSSL refuses (the legacy algorithms need the
// legacy provider).
Bytes makePkcs12(EVP_PKEY* key, X509* certificate, const std::string& password, Pkcs12Algorithms algorithms);
// The legacy provider beside the default one while it lives; loaded() is
// false when the legacy provider is not installed.
class LegacyProvider final {
public:
    LegacyProvider();
    ~LegacyProvider();
    LegacyProvider(const LegacyProvider&) = delete;
    LegacyProvider& operator=(const LegacyProvider&) = delete;
    bool loaded() const { return legacy_ != nullptr; }

private:
    OSSL_PROVIDER* default_ = nullptr;
    OSSL_PROVIDER* legacy_ = nullptr;
};

}  // namespace korva::test
