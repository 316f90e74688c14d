// The mechanisms the library offers: the module's table, corrected where the
// token does more or less than that table says, plus the mechanisms the
// library carries out itself (hashing before an RSA signature, secret-key
// generation from the card's random numbers).
#pragma once

#include "host/pkcs11_api.h"

#include <optional>
#include <vector>

namespace korva::host {

class Token;

struct MechanismEntry {
    ck_mechanism_type_t type;
    unsigned long minKeySize;
    unsigned long maxKeySize;
    ck_flags_t flags;
};

// The module's rows made honest (a pure function, for tests).
std::vector<MechanismEntry> libraryMechanisms(const std::vector<MechanismEntry>& moduleRows);

// The token's mechanisms as the library offers them (one card query).
ck_rv_t tokenMechanisms(Token& token, std::vector<MechanismEntry>& entries);

}  // namespace korva::host
