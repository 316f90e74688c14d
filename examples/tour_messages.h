// The token tour's certificate request and signed message: with the tour's
// key pair, slot 48 makes a PKCS#10 request signed on the card, a
// certificate issued for it goes onto the token, and slot 49 signs a PKCS#7
// message with the key and that certificate. Both files are written next to
// the card file; the certificate leaves the token again.
#pragma once

#include "tests/support/test_host.h"

#include <korva/host_records.h>

#include <filesystem>

namespace korva::tour {

void makeRequestAndMessage(test::TestHost& host, abi::LoginRecord* user, const abi::ObjectHandle& publicKey,
                           const abi::ObjectHandle& privateKey, const std::filesystem::path& directory);

}  // namespace korva::tour
