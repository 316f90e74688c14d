// The directory record of a key that a card operation is about to use:
// read from its class's directory file, then judged before any attribute
// in it is trusted. Signing, verification and the cipher operations all
// start from it.
#pragma once

#include "objects/attribute_record.h"
#include "objects/layout.h"

#include "card/card_context.h"

#include <korva/pkcs11_constants.h>

#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

// The two families of key pair the card holds: RSA, and GOST R 34.10.
enum class KeyFamily : uint8_t { Rsa, Gost };

struct KeyRecord {
    DirectoryRecord bytes{};  // zeros past `length`
    uint32_t length = 0;      // bytes the card sent
    std::span<const uint8_t> view() const noexcept { return {bytes.data(), length}; }
};

enum class KeyRecordRead : uint8_t {
    kOk,
    kFree,    // the record holds no object
    kFailed,  // selection or read failed, or the record is too short to hold an entry
};

// With the folder that holds directory `directoryId` current: selects the
// directory file and reads record `number` with readDirectoryRecord. A
// record of four bytes or fewer cannot hold an entry: free when its type
// bytes are zero, else failed.
KeyRecordRead readKeyRecord(CardContext& context, uint16_t directoryId, uint8_t number, KeyRecord& record) noexcept;

// readKeyRecord as a key operation answers it: a free record is a handle
// that names nothing (CKR_OBJECT_HANDLE_INVALID), a read that failed is
// CKR_FUNCTION_FAILED.
abi::CK_RV loadKeyRecord(CardContext& context, uint16_t directoryId, uint8_t number, KeyRecord& record) noexcept;

// Whether a key's record lets it serve the use that the boolean attribute
// `usage` (CKA_ENCRYPT, CKA_WRAP, CKA_DERIVE...) names. A flag stored as one
// byte decides: 01 allows, any other byte forbids. A flag absent, or stored
// with another length, is no flag: the use's default decides. Malformed: the
// record itself cannot be read.
enum class KeyUsage : uint8_t { kAllowed, kForbidden, kMalformed };
KeyUsage keyUsage(std::span<const uint8_t> record, uint32_t usage, bool whenAbsent) noexcept;
// The same rule for a flag's value held elsewhere (a session object's
// attribute); nothing for an absent flag.
bool usageAllows(std::optional<std::span<const uint8_t>> flag, bool whenAbsent) noexcept;

enum class NumberLookup : uint8_t { kFound, kAbsent, kMalformed };

// A 4-byte big-endian number attribute (CKA_KEY_TYPE, CKA_MODULUS_BITS):
// absent, or malformed when the record is or the value is shorter than four
// bytes.
NumberLookup findNumberInRecord(std::span<const uint8_t> record, uint32_t type, uint32_t& value) noexcept;

}  // namespace korva::objects
