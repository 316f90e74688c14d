// Internal to the signing operations: the checks every initialisation and
// operation slot runs on the key handle and the key's record.
#pragma once

#include "card/card_context.h"
#include "objects/key_record.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::sign::detail {

enum class KeyUse : uint8_t {
    kSign,    // a private key with CKA_SIGN
    kVerify,  // a public key with CKA_VERIFY
};

// CKR_OK when the handle names a directory of the class the use needs,
// else CKR_KEY_HANDLE_INVALID (also for session objects).
abi::CK_RV checkKeyClass(const abi::ObjectHandle& handle, KeyUse use) noexcept;

struct UsableKey {
    objects::KeyRecord record;
    uint8_t recordNumber = 0;
    uint32_t keyType = 0;
    uint32_t modulusBits = 0;  // when asked for
};

struct KeyDemands {
    KeyUse use;
    abi::CK_KEY_TYPE keyType;  // the mechanism's
    bool withLogin;            // the operation slots present the host's PIN first
    bool needsModulusBits;     // verification with recovery reads them up front
};

// SELECT the application subdirectory, the login step (when asked), then
// the key's record; then its usage flag, key type (and modulus bits). The
// handle's class must have been checked. Returns CKR_OK;
// CKR_FUNCTION_FAILED for any card or login failure and for a record
// without a readable key type; CKR_OBJECT_HANDLE_INVALID for a free record;
// CKR_KEY_FUNCTION_NOT_PERMITTED when the usage flag is present and not 1;
// CKR_KEY_TYPE_INCONSISTENT when the key type differs from the mechanism's.
abi::CK_RV loadUsableKey(CardContext& context, const abi::ObjectHandle& handle, const abi::LoginRecord* login,
                         const KeyDemands& demands, UsableKey& key) noexcept;

// The modulus length in bytes of an RSA key's record: CKR_OK, or
// CKR_FUNCTION_FAILED when CKA_MODULUS_BITS is missing or does not describe
// the card's 1024-bit keys (the card answers 128-byte blocks whatever a
// record claims, and output buffers are sized from this value).
abi::CK_RV rsaModulusBytes(const UsableKey& key, uint32_t& bytes) noexcept;

// The card key reference of a GOST key (CKA_VENDOR_KEY_REFERENCE), or
// CKR_FUNCTION_FAILED when the record has none of length 1.
abi::CK_RV gostKeyReference(const UsableKey& key, uint8_t& reference) noexcept;

}  // namespace korva::sign::detail
