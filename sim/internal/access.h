// Access conditions: which byte of a file's security attributes (tag 86)
// guards which operation, and what each byte value requires.
#pragma once

#include "sim/internal/card_state.h"

namespace korva::sim {

enum class Operation {
  deleteFile,        // every file: byte 2
  read,              // data files: byte 3
  update,            // data files: byte 4 (UPDATE BINARY, UPDATE RECORD, PUT DATA)
  append,            // data files: byte 5
  createChild,       // directories: byte 4
  verify,            // PIN objects: byte 3
  changeReference,   // PIN objects: byte 5 (the PIN's holder may always)
  resetRetryCounter, // PIN objects: byte 6
  loadKey,           // key files: byte 3
  useKey,            // key files: byte 4
};

// Conditions apply only to operational files (life cycle 05); a file still in
// its initialisation state (03) is open to every operation, so that it can
// be filled before ACTIVATE. A missing byte means always.
bool isAllowed(const CardState& card, const FileNode& file, Operation operation);

}  // namespace korva::sim
