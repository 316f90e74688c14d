// Writing a new object's value where the card keeps it: the body file of a
// data object or certificate, the key object of an RSA key pair (with the
// private exponent's file), and the key object or file of a secret key.
#pragma once

#include "objects/layout.h"
#include "objects/template_record.h"

#include "card/card_context.h"

#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::objects {

struct BodyRequest {
    ObjectClass objectClass = ObjectClass::Data;
    uint8_t record = 0;         // the new object's record number n
    uint8_t keyPairRecord = 0;  // private key: the matching public key's record m
    bool isPrivate = false;     // the template's CKA_PRIVATE
    uint32_t userType = 0xFF;   // the caller's login record
};

// Writes the body of the object described by `request` from its completed
// template copy. The application subdirectory is current before and after.
// Returns the CK_RV of the creation: CKR_OK, CKR_TEMPLATE_INCOMPLETE,
// CKR_TEMPLATE_INCONSISTENT, CKR_ATTRIBUTE_VALUE_INVALID,
// CKR_DEVICE_MEMORY, CKR_USER_NOT_LOGGED_IN or CKR_FUNCTION_FAILED.
abi::CK_RV writeBody(CardContext& context, const BodyRequest& request, const TemplateRecord& tmpl);

}  // namespace korva::objects
