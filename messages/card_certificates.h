// Certificates read from the card for a signed message: the DER body of a
// certificate object, decoded, and on request its directory record.
#pragma once

#include "card/card_context.h"
#include "common/openssl_ptr.h"
#include "objects/key_record.h"
#include "session/settings.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

namespace korva::messages {

// Reads the certificate named by `handle` and leaves the application
// subdirectory current. `record`, when not null, receives the object's
// directory record. CKR_OK; CKR_OBJECT_HANDLE_INVALID (a handle outside the
// five directories, a free record); CKR_FUNCTION_FAILED (not a certificate
// handle, a card failure); CKR_USER_NOT_LOGGED_IN (the card shows the body
// only after a login); CKR_HOST_MEMORY; CKR_DATA_INVALID (the body is no
// certificate).
abi::CK_RV readCardCertificate(CardContext& context, const token::TokenSettings& settings,
                               const abi::ObjectHandle& handle, objects::KeyRecord* record, X509Ptr& certificate);

}  // namespace korva::messages
