// The certificate name map 70 00 of the certificate subdirectory: 21
// entries of 12 bytes naming each certificate body after the key container
// it belongs to ("ksc00", "kxc01", ...).
#pragma once

#include "objects/container_name.h"
#include "objects/room.h"

#include "card/card_context.h"

#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

// With the certificate subdirectory current: the index of the first entry
// whose identifier is `fileId` (0 finds a free entry), or nothing when none
// of the 21 entries has it. kOk, or the failure of the selection or the read
// (a missing name map is a failure, not an absent entry).
CardResult findNameMapEntry(CardContext& context, uint16_t fileId, std::optional<std::size_t>& index) noexcept;

// With the certificate subdirectory current: writes entry `index`.
CardResult writeNameMapEntry(CardContext& context, const NameMapEntry& entry, std::size_t index) noexcept;

// With the certificate subdirectory current: zeroes the entry of body
// `fileId`; an absent entry is not an error.
CardResult removeNameMapEntry(CardContext& context, uint16_t fileId) noexcept;

// What a new certificate learns about its key before it is stored.
struct CertificateKeyMatch {
    std::size_t freeEntry = 255;  // name map entry to take
    bool keyFound = false;
    bool exchangeKey = false;  // the public key may encrypt
    uint8_t keyRecord = 255;   // the public key's record number
};

// Looks for the public key whose CKA_ID equals the certificate's (taken
// from its encoded record) and, when one exists, for a free name map entry.
// The application subdirectory is current on entry and on a kDone return.
// kDone (a certificate without CKA_ID, with an empty one, without key, or
// on a token whose public-key directory cannot be selected matches
// nothing), kNoRoom when the name map is full, or kFailed (a record that
// cannot be read or is malformed, a name map that cannot be read).
RoomOutcome matchCertificateKey(CardContext& context, std::span<const uint8_t> certificateRecord,
                                CertificateKeyMatch& match) noexcept;

}  // namespace korva::objects
