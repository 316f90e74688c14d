// One table of the standard's attributes (PKCS#11 v2.40): what kind of value
// each holds, which decides how it crosses between the application's ABI
// (unsigned long numbers, 64-bit here) and the module's 32-bit one, and which
// object classes have it, which decides what an application may read, set
// or search for on an object of that class, and which name the object (what
// tells it from another object made later in its place).
#pragma once

#include "host/pkcs11_api.h"

#include <span>

namespace korva::host {

enum class ValueKind {
    Bytes,          // passed as given
    Boolean,        // one byte
    Number,         // one CK_ULONG
    NumberList,     // an array of CK_ULONG (mechanism types)
    Date,           // a CK_DATE, 8 characters
    AttributeList,  // an array of CK_ATTRIBUTE (a template)
};

ValueKind valueKind(ck_attribute_type_t type);

// Whether objects of the class have the attribute. Vendor attributes, and
// every attribute of a class the token never holds, pass.
bool classHas(unsigned long objectClass, ck_attribute_type_t type);

// The attributes that name an object of the class (host/object_identity.h):
// fixed when it is made and telling its content, no secret value among them.
// Nothing for a class the token never holds.
std::span<const ck_attribute_type_t> namingAttributes(unsigned long objectClass);

}  // namespace korva::host
