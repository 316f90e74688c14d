// Finding a free record for a new object in its class's directory file,
// creating the directory or growing it when none is free.
#pragma once

#include "objects/directory_files.h"
#include "objects/room.h"

#include "card/card_context.h"

#include <cstdint>

namespace korva::objects {

// Finds the first free record of directory `directoryId` (a record whose
// first four bytes are zero), or grows the directory by its class's growth
// step (settings bytes 6, 8, 10, 12, 14) up to its class's maximum and
// answers the first new record. The public-key directory also grows the
// container map to match. Nothing is reserved: the caller writes the record.
//
// Returns kDone with `record`; kNoRoom when the directory is at its largest
// or the card lacks the memory to grow it (a directory the card could not
// grow is back at its old size); kHostMemory; kFailed for everything the card
// or the link did wrong, a missing folder or container map included. The
// application subdirectory is current after kDone and kNoRoom.
RoomOutcome allocateRecord(CardContext& context, const TokenSettings& settings, uint16_t directoryId,
                           uint8_t& record) noexcept;

}  // namespace korva::objects
