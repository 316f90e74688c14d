// Where an RSA key pair lives on the card: its body files are numbered
// after the public key's directory record, and the card names the key by
// that number. Signing, verification and the message formats all ask.
#pragma once

#include "card/card_context.h"
#include "objects/key_record.h"

#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::sign {

// The card key reference of an RSA key kept in the key-pair body files:
// 0x60 + the public key's record number. A private key's body is numbered
// after its paired public key (same CKA_ID), whose record number may differ
// from the private key's own; without such a public key the private key's
// own number is used. The application subdirectory must be current.
// CKR_FUNCTION_FAILED when the card fails or the number names no body.
abi::CK_RV rsaKeyReference(CardContext& context, const objects::KeyRecord& record, uint8_t recordNumber,
                           bool privateKey, uint8_t& reference) noexcept;

}  // namespace korva::sign
