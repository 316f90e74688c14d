// From the card helpers' internal results to the CK_RV a slot returns, for
// the common case. Callers handle first the results that mean something
// specific to their operation (kNotFound as an absent object, kPinIncorrect
// in the login slots, kSecurity as CKR_USER_NOT_LOGGED_IN, ...) and hand the
// rest to cardResultToRv.
//
// This header lives in module/, whose directory every layer already sees
// through korva_frame (the CardContext), so token/, objects/, keys/, sign/
// and messages/ use it without a dependency of their own. Header-only.
#pragma once

#include <korva/pkcs11_types.h>

#include "card/card_context.h"

namespace korva {

// What kMemory means where it is met: an allocation failure in the module
// (host memory), or the card's 6A 84 "no room" for commands that create files
// (device memory).
enum class MemoryFailure { host, device };

// kOk is CKR_OK; kMemory is CKR_HOST_MEMORY or CKR_DEVICE_MEMORY as the caller
// says; every other result, including a transport failure passed through
// unchanged, is CKR_FUNCTION_FAILED.
constexpr abi::CK_RV cardResultToRv(CardResult result,
                                    MemoryFailure memory = MemoryFailure::host) noexcept {
    switch (result) {
        case result::kOk:
            return abi::CKR_OK;
        case result::kMemory:
            return memory == MemoryFailure::device ? abi::CKR_DEVICE_MEMORY : abi::CKR_HOST_MEMORY;
        default:
            return abi::CKR_FUNCTION_FAILED;
    }
}

}  // namespace korva
