// The key on the card that signs a certificate request or a signed message:
// its record, its kind, the card key reference and, for GOST keys, the
// curve. What the two builders share before they part ways.
#pragma once

#include "card/card_context.h"
#include "objects/key_record.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>

namespace korva::messages {

struct MessageKey {
    objects::KeyFamily family = objects::KeyFamily::Gost;
    uint8_t reference = 0;   // what MANAGE SECURITY ENVIRONMENT names
    uint8_t curveCode = 0;   // GOST: the card's parameter-set code
    bool exchange = false;   // GOST: the key lies on a key-exchange set
    uint8_t bodyRecord = 0;  // RSA: the key pair's body files 61 nn / E1 nn
    objects::KeyRecord record;
};

// SELECT the application subdirectory, then the login step. CKR_OK or
// CKR_FUNCTION_FAILED.
abi::CK_RV openApplication(CardContext& context, const abi::LoginRecord* login) noexcept;

// A handle the host really gave: non-null, and its directory bytes not
// both zero (zeros ask for the key to be found by CKA_ID).
bool isGivenHandle(const abi::ObjectHandle* handle) noexcept;

// The private key whose CKA_ID equals the one in `record`, searched in the
// private-key directory of the application subdirectory. kOk with
// `privateRecord`; kNotFound when `record` has no CKA_ID or nothing
// matches; another result when the search failed.
CardResult findPrivateKeyFor(CardContext& context, std::span<const uint8_t> record, uint8_t& privateRecord) noexcept;

// Reads record `recordNumber` of key directory `directoryId` (the
// application subdirectory current) and tells the key:
//  - a record with a key reference is a GOST key in the key directory,
//    whose CKA_GOSTR3410_PARAMS (a private key without one: its public
//    key's) must name a set the card has a code for;
//  - without one, the key pair's body file decides: an RSA key file is an
//    RSA key with the reference of its body. A GOST key file there is
//    refused: the card's GOST signing names keys of the key directory
//    (05 1F), and no reference there belongs to a key kept in a body file.
// CKR_OK; CKR_OBJECT_HANDLE_INVALID for a free record; CKR_FUNCTION_FAILED
// for anything else.
abi::CK_RV loadMessageKey(CardContext& context, uint16_t directoryId, uint8_t recordNumber, MessageKey& key) noexcept;

// What a card failure during signing means for the host: the card wanting
// a PIN is CKR_USER_NOT_LOGGED_IN, anything else CKR_FUNCTION_FAILED.
abi::CK_RV signingFailure(CardResult result) noexcept;

}  // namespace korva::messages
