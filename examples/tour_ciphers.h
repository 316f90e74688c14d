// The token tour's look at the ciphers: an AES key and a GOST 28147-89 key
// are made on the token, a message goes through each and back, and the keys
// leave the token again.
#pragma once

#include "tests/support/test_host.h"

namespace korva::tour {

void showCiphers(test::TestHost& host);

}  // namespace korva::tour
