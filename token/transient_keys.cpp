#include "transient_keys.h"

namespace korva::token {

// The object store (record layout, attribute decoding and destruction) is
// not part of the module yet, so there is nothing to walk: this succeeds
// without touching the card. The object store replaces this body with the
// walk over 50 03 and its own destruction routine.
CardResult purgeTransientSecretKeys(CardContext& /*context*/) noexcept { return result::kOk; }

}  // namespace korva::token
