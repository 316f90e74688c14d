// Values that hold numbers or attribute lists, between the application's
// layout (unsigned long, 64-bit here; CK_ATTRIBUTE with its pointer) and the
// bytes the module stores. A number list goes as 32-bit numbers. An
// attribute list (CKA_WRAP_TEMPLATE, CKA_UNWRAP_TEMPLATE, CKA_DERIVE_TEMPLATE)
// cannot go as the application's array, whose pointers mean nothing once
// stored: it goes as entries of a 4-byte type, a 4-byte length and the value
// (numbers as 4 bytes), each little-endian, which read back the same on any
// host.
#pragma once

#include "common/wiped_bytes.h"
#include "host/pkcs11_api.h"

#include <span>

namespace korva::host {

// The application's value of a NumberList or AttributeList attribute in the
// module's bytes; CKR_ATTRIBUTE_VALUE_INVALID for a value that is not one
// (a length that is no whole number of entries, a number beyond 32 bits, a
// list inside a list).
ck_rv_t narrowValue(ck_attribute_type_t type, const void* value, unsigned long length, WipedBytes& out);

// Fills the application's attribute from the stored bytes, by the standard's
// length rules (a null value asks for the length; a short buffer gives
// CK_UNAVAILABLE_INFORMATION and CKR_BUFFER_TOO_SMALL). An attribute list is
// read into the application's array of attributes, each by the same rules.
ck_rv_t widenValue(std::span<const uint8_t> stored, ck_attribute& target);

// Whether the attribute's value needs converting both ways.
bool convertsList(ck_attribute_type_t type);

}  // namespace korva::host
