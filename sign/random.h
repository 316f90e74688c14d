// Random data for the host (slot 45), drawn from the card's generator with
// GET CHALLENGE; the module has no software generator and keeps no pool.
#pragma once

#include "card/card_context.h"

#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::sign {

// Fills `buffer` with `length` card random bytes, 8 per GET CHALLENGE, the
// tail of the last challenge dropped. A null buffer or a zero length is
// CKR_ARGUMENTS_BAD; any failed exchange CKR_FUNCTION_FAILED, with the bytes
// already drawn left in the buffer.
abi::CK_RV generateRandom(const HostContext& host, uint8_t* buffer, abi::CK_ULONG length);

}  // namespace korva::sign
