// Reading one token object: its record from its class's directory, plus
// the values derived from its body file (a data value, a certificate and
// the names inside it, a key's public part, an extractable secret key).
#pragma once

#include "objects/attribute_set.h"
#include "objects/directory_files.h"

#include "card/card_context.h"

#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>

namespace korva::objects {

// What a reader reports about the object besides its attributes.
struct ObjectFacts {
    uint32_t classNumber = 0;
    uint8_t isPrivate = 0;
};

// How a search learns that it ran past the records a directory really has
// (see the walk): set when the directory does not exist or `record` lies
// beyond its record count. Pass null when reading a handle.
struct WalkBound {
    bool beyondDirectory = false;
};

// The object's attributes for the host: the record's entries, CKA_CLASS,
// the standard attributes it lacks with their defaults, then the derived
// values. A body the card will not show without the user PIN adds nothing.
// The application subdirectory must be current (and is again afterwards).
// Returns CKR_OK, CKR_OBJECT_HANDLE_INVALID (no such record, or a free
// one), CKR_HOST_MEMORY, or CKR_FUNCTION_FAILED.
abi::CK_RV readTokenObject(CardContext& context, const TokenSettings& settings, uint16_t directoryId, uint8_t record,
                           AttributeSet& set, ObjectFacts& facts, WalkBound* bound);

// Fills the caller's template from the object, reading only the bodies the
// template asks about. `userType` is that of the caller's login record
// (0xFF for none): a private object needs the user. The template is filled
// as far as possible and `facts` set whatever the result. Returns CKR_OK,
// CKR_OBJECT_HANDLE_INVALID, CKR_USER_NOT_LOGGED_IN,
// CKR_ATTRIBUTE_TYPE_INVALID, CKR_BUFFER_TOO_SMALL, CKR_ATTRIBUTE_SENSITIVE,
// CKR_GENERAL_ERROR or CKR_FUNCTION_FAILED.
abi::CK_RV readAttributeValues(CardContext& context, const TokenSettings& settings, uint32_t userType,
                               uint16_t directoryId, uint8_t record, std::span<abi::CK_ATTRIBUTE> tmpl,
                               ObjectFacts& facts, WalkBound* bound);

}  // namespace korva::objects
