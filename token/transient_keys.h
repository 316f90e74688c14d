// Secret keys that were created as session objects but had to be stored on
// the card (everything but triple-DES session keys) are left behind when a
// session ends without destroying them. A user login removes them.
#pragma once

#include "card/card_context.h"

namespace korva::token {

// Walks the secret-key directory 50 03 of the application subdirectory from
// its last record to its first and destroys every object whose CKA_TOKEN is
// false, exactly as an explicit destruction would.
CardResult purgeTransientSecretKeys(CardContext& context) noexcept;

}  // namespace korva::token
