// The key of an encryption or decryption: where the host's handle leads
// (a token key's directory record, or a session object the host keeps) and
// whether that key may serve the mechanism and the direction.
#pragma once

#include "ciphers/cipher_mechanisms.h"

#include "card/card_context.h"
#include "objects/key_record.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>
#include <optional>
#include <span>

namespace korva::ciphers {

enum class CipherDirection : uint8_t { kEncrypt, kDecrypt };

// CKA_ENCRYPT or CKA_DECRYPT.
abi::CK_ATTRIBUTE_TYPE usageAttribute(CipherDirection direction) noexcept;

// ---------------------------------------------------------------------------
// Token keys

// CKR_OK when the handle's directory holds a class that may serve the
// direction: public or secret keys encrypt, private or secret keys decrypt;
// else CKR_KEY_HANDLE_INVALID.
abi::CK_RV checkCipherKeyClass(const abi::ObjectHandle& handle, CipherDirection direction) noexcept;

struct TokenCipherKey {
    objects::KeyRecord record;
    uint32_t keyType = 0;
    bool usageForbidden = false;  // objects::keyUsage's answer for the direction
};

// With the application subdirectory current: the key's directory record,
// its usage flag for `direction` and its key type. CKR_OK;
// CKR_OBJECT_HANDLE_INVALID for a free record; CKR_FUNCTION_FAILED for a
// card failure, a record too short to hold an entry, a malformed record or
// a missing key type.
abi::CK_RV readTokenCipherKey(CardContext& context, const abi::ObjectHandle& handle, CipherDirection direction,
                              TokenCipherKey& key) noexcept;

// CKR_KEY_FUNCTION_NOT_PERMITTED when the usage flag forbids the use, else
// CKR_KEY_TYPE_INCONSISTENT when the mechanism does not take the key type,
// else CKR_OK.
abi::CK_RV judgeCipherKey(bool usageForbidden, uint32_t keyType, const CipherMechanism& mechanism) noexcept;

// ---------------------------------------------------------------------------
// Session keys

// A value of a session object's attribute, or nothing when the entry has no
// such attribute or its value pointer is null.
std::optional<std::span<const uint8_t>> sessionAttribute(const abi::SessionObject& object,
                                                         abi::CK_ATTRIBUTE_TYPE type) noexcept;

// The session object a handle i FF FF names: present, in use and a secret
// key; else null.
const abi::SessionObject* sessionSecretKey(const abi::HostContext& host, const abi::ObjectHandle& handle) noexcept;

// ---------------------------------------------------------------------------

// Initialisation's checks of the key for `mechanism` (not an RSA one of a
// public or private key: those are the same checks on a token key). Session
// keys are triple-DES keys the module ciphers in software; any other
// mechanism with a session key is CKR_KEY_TYPE_INCONSISTENT, since the card
// knows nothing of the host's session objects.
abi::CK_RV checkCipherKey(const abi::HostContext& host, const abi::ObjectHandle& handle,
                          const CipherMechanism& mechanism, CipherDirection direction) noexcept;

}  // namespace korva::ciphers
