// How the steps that make room for a new object end: finding or growing a
// directory record, growing the container map, finding a free entry of the
// certificate name map. "No room" is an outcome of its own, apart from the
// card's results: a file the card cannot find, or a command it refuses, is a
// damaged or unhappy token, never a full one, and the card's 6A 84 during a
// repair is a failure of the repair, not a lack of memory in the module.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::objects {

enum class RoomOutcome : uint8_t {
    kDone,        // found, or made
    kNoRoom,      // the card lacks the memory, or the file is at its largest
    kHostMemory,  // the module ran out of memory
    kFailed,      // the card refused or failed a command, or the link failed
};

// The one rule from these outcomes to what a slot returns.
constexpr abi::CK_RV roomToRv(RoomOutcome outcome) noexcept {
    switch (outcome) {
        case RoomOutcome::kDone: return abi::CKR_OK;
        case RoomOutcome::kNoRoom: return abi::CKR_DEVICE_MEMORY;
        case RoomOutcome::kHostMemory: return abi::CKR_HOST_MEMORY;
        case RoomOutcome::kFailed: break;
    }
    return abi::CKR_FUNCTION_FAILED;
}

}  // namespace korva::objects
