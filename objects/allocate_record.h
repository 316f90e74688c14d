// Finding a free record for a new object in its class's directory file,
// creating the directory or growing it when none is free.
#pragma once

#include "objects/directory_files.h"

#include "card/card_context.h"

#include <cstdint>

namespace korva::objects {

// No free record and no way to make one: the directory is full, or the card
// lacks the memory to grow it. Callers report CKR_DEVICE_MEMORY.
inline constexpr CardResult kNoRoom = result::kNotFound;

// Finds the first free record of directory `directoryId` (a record whose
// first four bytes are zero), or grows the directory by its class's growth
// step (settings bytes 6, 8, 10, 12, 14) up to its class's maximum and
// answers the first new record. The public-key directory also grows the
// container map to match. Nothing is reserved: the caller writes the record.
//
// Returns kOk with `record`, kNoRoom, kMemory (host memory), kSecurity (the
// card refused to delete or create the directory), or another failure. The
// application subdirectory is current after kOk and kNoRoom.
CardResult allocateRecord(CardContext& context, const TokenSettings& settings, uint16_t directoryId,
                          uint8_t& record) noexcept;

}  // namespace korva::objects
