// What the library knows of the card's commands without sending them.
#pragma once

#include <cstdint>
#include <span>

namespace korva::host {

// Whether a command leaves what the card stores as it was: selection and
// reading, the card's queries, PIN presentation, the security environment
// and the operations on keys, reading a public key (46 with P1 01). Writes,
// file creation and deletion, key generation and anything unknown may
// change it.
bool leavesCardContentAlone(std::span<const uint8_t> command);

}  // namespace korva::host
