// One table of the standard's attributes (PKCS#11 v2.40): what kind of value
// each holds, which decides how it crosses between the application's ABI
// (unsigned long numbers, 64-bit here) and the module's 32-bit one, and which
// object classes have it, which decides what an application may read, set
// or search for on an object of that class.
#pragma once

#include "host/pkcs11_api.h"

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

}  // namespace korva::host
