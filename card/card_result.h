// What a card helper reports: one closed set of results, whose numbers are
// the card layer's own (they show in CardContext::lastResult for diagnosis),
// and the rule that turns the common ones into a PKCS#11 return value.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva {

enum class CardResult : uint32_t {
    kOk = 0,
    // The command was not exchanged, or not completely: the helper refused an
    // argument (a length or offset it cannot encode, data it cannot parse),
    // or the host's transport failed. The card layer gives both one value;
    // the two are told apart by lastResult, which keeps the host's own code.
    kBadArgumentOrTransport = 1,
    kNotFound = 2,            // 6A 82 (or 6A 83 where a command says so)
    kWrongLength = 3,         // 6B 00, 6C xx, or a caller buffer too small
    kUnexpected = 5,          // another status word, or malformed card data
    kPinIncorrect = 7,        // 63 Cx
    kPinBlocked = 8,          // 69 83
    kMemory = 9,              // allocation failure, or 6A 84 where a command says so
    kSecurity = 10,           // 69 82: security status not satisfied
    kSignatureRejected = 12,  // VERIFY DIGITAL SIGNATURE answered 69 82
};

// The names as `result::kOk`, `result::kNotFound`, ...
namespace result {
using enum CardResult;
}

// The number a result carries, for lastResult and for messages.
constexpr uint32_t valueOf(CardResult result) noexcept { return static_cast<uint32_t>(result); }

// What kMemory means where it is met: an allocation failure in the module
// (host memory), or the card's 6A 84 "no room" for commands that create files
// (device memory).
enum class MemoryFailure { host, device };

// The rule for results that an operation gives no meaning of its own: kOk is
// CKR_OK; kMemory is CKR_HOST_MEMORY or CKR_DEVICE_MEMORY as the caller says;
// every other result is CKR_FUNCTION_FAILED. Callers first handle the results
// that mean something specific to their step (kNotFound as an absent object,
// kPinIncorrect in the login slots, kSecurity as CKR_USER_NOT_LOGGED_IN, ...).
constexpr abi::CK_RV cardResultToRv(CardResult result, MemoryFailure memory = MemoryFailure::host) noexcept {
    switch (result) {
        case CardResult::kOk: return abi::CKR_OK;
        case CardResult::kMemory:
            return memory == MemoryFailure::device ? abi::CKR_DEVICE_MEMORY : abi::CKR_HOST_MEMORY;
        default: return abi::CKR_FUNCTION_FAILED;
    }
}

// The same rule for a command that makes something on the card (a file, a
// key): the card's "no room" is the token's memory.
constexpr abi::CK_RV creationToRv(CardResult result) noexcept { return cardResultToRv(result, MemoryFailure::device); }

}  // namespace korva
