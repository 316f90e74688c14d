// Verification of a DER PKCS#7 signed message in software: the signer's
// certificate is taken from the message itself and its chain is not
// judged; every signer's signature is checked over the content.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::messages {

// Slot 50. The content is the detached content when `content` is non-null
// and `contentLength` non-zero, else the content inside the message.
// CKR_OK for a valid signature; CKR_ARGUMENTS_BAD without a message;
// CKR_DATA_INVALID for bytes that are not a PKCS#7 message;
// CKR_FUNCTION_FAILED when the content cannot be wrapped; otherwise
// CKR_SIGNATURE_INVALID (wrong signature, no signer certificate in the
// message, no content to check, another kind of message).
abi::CK_RV verifyMessage(const uint8_t* message, abi::CK_ULONG messageLength, const uint8_t* content,
                         abi::CK_ULONG contentLength);

}  // namespace korva::messages
