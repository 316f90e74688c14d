// Finding one's way among the object store's files on the card: the
// application subdirectory every operation starts from, the certificate
// subdirectory that may hold the certificate directory, the directory files
// and their records, and the search for a key's record by its CKA_ID.
#pragma once

#include "objects/attribute_record.h"
#include "objects/layout.h"

#include "card/card_context.h"
#include "session/settings.h"

#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

using token::TokenSettings;

// The body file of a class's record n, from the class table (its directory
// file: directoryOf in objects/layout.h).
uint16_t ownBodyOf(ObjectClass objectClass, uint8_t record) noexcept;

// Byte 0 of the settings: 1 keeps the certificate directory in the
// application subdirectory; any other value keeps it in the certificate
// subdirectory 70 01 (with open access bytes).
bool certificatesInSubdirectory(const TokenSettings& settings) noexcept;

// Whether directory `directoryId` lives in the certificate subdirectory.
bool directoryInSubdirectory(const TokenSettings& settings, uint16_t directoryId) noexcept;

// Selects the folder holding `directoryId` by path from the master file:
// the application subdirectory, or the certificate subdirectory.
CardResult selectDirectoryParent(CardContext& context, const TokenSettings& settings, uint16_t directoryId) noexcept;

// Selects the folder holding `directoryId`, then the directory file itself.
CardResult selectDirectory(CardContext& context, const TokenSettings& settings, uint16_t directoryId) noexcept;

// After work in the certificate subdirectory: back to the application
// subdirectory (nothing to do when `directoryId` lives there anyway).
CardResult leaveDirectoryParent(CardContext& context, const TokenSettings& settings, uint16_t directoryId) noexcept;

// SELECT of a file that may be missing: kOk (selected), kNotFound, or the
// failure.
CardResult selectIfPresent(CardContext& context, uint16_t fileId) noexcept;

// Deletes `fileId` from the current directory when it exists; a missing
// file is not an error.
CardResult deleteIfPresent(CardContext& context, uint16_t fileId) noexcept;

// Reads a whole record of the selected directory file into `record`
// (zero-filled first); `length` receives the byte count the card sent.
CardResult readDirectoryRecord(CardContext& context, uint8_t number, DirectoryRecord& record,
                               uint32_t& length) noexcept;

// The record count of the selected directory file, as its FCP gives it.
std::optional<uint8_t> selectedRecordCount(const CardContext& context) noexcept;

// The search that ties the halves of a key pair together, in the selected
// directory file: the first used record whose CKA_ID has the same length and
// bytes as `id`, among the records its FCP counts. Returns kOk with
// `record`, kNotFound when no record matches, kUnexpected for a directory
// without a record count, a malformed record, or a record the card says is
// missing (a directory shorter than its FCP is damaged, and the missing
// record might have been the match), or the failure of a read.
CardResult searchSelectedDirectory(CardContext& context, std::span<const uint8_t> id, uint8_t& record) noexcept;

// The same search in directory `directoryId` of the application
// subdirectory (current when called): kNotFound also when the directory is
// missing.
CardResult findKeyRecordById(CardContext& context, uint16_t directoryId, std::span<const uint8_t> id,
                             uint8_t& record) noexcept;

// The other half of a key pair: the key in directory `directoryId` whose
// CKA_ID equals the one stored in `keyRecord`. kNotFound when the record has
// no CKA_ID, the directory is missing or no key matches; kUnexpected for a
// malformed record. Leaves the directory (or nothing) selected.
CardResult findKeyWithSameId(CardContext& context, uint16_t directoryId, std::span<const uint8_t> keyRecord,
                             uint8_t& match) noexcept;

// The public key whose CKA_ID equals the one stored in `keyRecord` (a
// private key's record), looked up in 50 01.
CardResult findMatchingPublicKey(CardContext& context, std::span<const uint8_t> keyRecord,
                                 uint8_t& publicRecord) noexcept;

}  // namespace korva::objects
