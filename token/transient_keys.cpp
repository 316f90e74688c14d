#include "token/transient_keys.h"

#include "objects/destroy_object.h"
#include "session/pin.h"

namespace korva::token {

// The walk and the destruction belong to the object store; the login slots
// call this only after the user (not the security officer) logged in.
CardResult purgeTransientSecretKeys(CardContext& context) noexcept {
    return objects::purgeTransientSecretKeys(context, user_type::kUser);
}

}  // namespace korva::token
