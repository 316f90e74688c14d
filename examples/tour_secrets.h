// The token tour's secret keys and import: an AES key made from the card's
// random numbers, and an RSA key pair with its certificate imported from a
// PKCS#12 file that OpenSSL makes; the token's objects are listed, and the
// new ones leave the token again.
#pragma once

#include "tests/support/test_host.h"

#include <filesystem>

namespace korva::tour {

void showSecretKeysAndImport(test::TestHost& host, const std::filesystem::path& outputDirectory);

}  // namespace korva::tour
