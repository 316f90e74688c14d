// Access conditions: which byte of a file's security attributes (tag 86)
// guards which operation, and what each byte value requires.
#pragma once

#include "sim/internal/card_state.h"

namespace korva::sim {

enum class Operation {
  deleteFile,         // every file: byte 2
  read,               // data files: byte 3
  update,             // data files: byte 4 (UPDATE BINARY, UPDATE RECORD, PUT DATA)
  append,             // data files: byte 5
  createChild,        // directories: byte 4
  verify,             // PIN objects: byte 3
  changeReference,    // PIN objects: byte 5 (the PIN's holder may always)
  resetRetryCounter,  // PIN objects: byte 6
  loadKey,            // key files: byte 3
  useKey,             // key files: byte 4
};

// Conditions apply only to operational files (life cycle 05); a file still in
// its initialisation state (03) is open to every operation, so that it can
// be filled before ACTIVATE. A missing byte means always.
// While the card is sealed (no VERIFY has opened it since it was loaded or
// reset), reading or writing a confidential body and using or loading key
// material are refused as well: the card cannot reach the secret.
bool isAllowed(const CardState& card, const FileNode& file, Operation operation);

// A transparent or internal file whose body only a PIN holder may read (or
// nobody): its body is a secret the card file keeps sealed.
bool isConfidentialBody(const FileNode& file);

}  // namespace korva::sim
