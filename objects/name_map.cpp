#include "objects/name_map.h"

#include "objects/attribute_record.h"
#include "objects/directory_files.h"
#include "objects/layout.h"

#include "card/files.h"
#include "card/select.h"

#include <array>

namespace korva::objects {

CardResult findNameMapEntry(CardContext& context, uint16_t fileId, std::optional<std::size_t>& index) noexcept {
    index.reset();
    if (const CardResult rc = card::selectFile(context, kNameMapFileId); rc != result::kOk) return rc;
    std::array<uint8_t, name_map::kFileBytes> bytes{};
    if (const CardResult rc = card::readBinary(context, 0, bytes); rc != result::kOk) return rc;
    index = objects::findNameMapEntry(bytes, fileId);
    return result::kOk;
}

CardResult writeNameMapEntry(CardContext& context, const NameMapEntry& entry, std::size_t index) noexcept {
    if (index >= name_map::kEntryCount) return result::kBadArgumentOrTransport;
    if (const CardResult rc = card::selectFile(context, kNameMapFileId); rc != result::kOk) return rc;
    const auto bytes = encodeNameMapEntry(entry);
    return card::updateBinary(context, uint32_t(name_map::entryOffset(index)), bytes);
}

CardResult removeNameMapEntry(CardContext& context, uint16_t fileId) noexcept {
    std::optional<std::size_t> index;
    if (const CardResult rc = findNameMapEntry(context, fileId, index); rc != result::kOk) return rc;
    if (!index) return result::kOk;
    return writeNameMapEntry(context, NameMapEntry{}, *index);
}

RoomOutcome matchCertificateKey(CardContext& context, std::span<const uint8_t> certificateRecord,
                                CertificateKeyMatch& match) noexcept {
    match = CertificateKeyMatch{};
    if (certificateRecord.size() <= 4) return RoomOutcome::kDone;
    const RecordLookup id = findInRecord(certificateRecord, abi::CKA_ID);
    if (id.result == LookupResult::Malformed) return RoomOutcome::kFailed;
    // An empty identifier (what a certificate created without one stores)
    // names no key: it would pair the certificate with any key that has no
    // identifier either.
    if (id.result == LookupResult::Absent || id.value.empty()) return RoomOutcome::kDone;

    // A public-key directory that cannot be selected holds no key to pair
    // with: the certificate is stored without a name map entry.
    const auto nothingToPair = [&] {
        return card::selectApplicationSubdirectory(context) == result::kOk ? RoomOutcome::kDone : RoomOutcome::kFailed;
    };
    if (card::selectFile(context, directoryOf(ObjectClass::PublicKey)) != result::kOk) return nothingToPair();
    uint8_t keyRecord = 0;
    const CardResult searched = searchSelectedDirectory(context, id.value, keyRecord);
    if (searched == result::kNotFound) return nothingToPair();
    if (searched != result::kOk) return RoomOutcome::kFailed;

    DirectoryRecord record;
    uint32_t length = 0;
    if (readDirectoryRecord(context, keyRecord, record, length) != result::kOk || length < 2) {
        return RoomOutcome::kFailed;
    }
    bool exchange = false;
    if (length > 4) {
        const RecordLookup encrypt = findInRecord(std::span(record).first(length), abi::CKA_ENCRYPT);
        if (encrypt.result == LookupResult::Malformed) return RoomOutcome::kFailed;
        if (encrypt.result == LookupResult::Found) {
            if (encrypt.value.size() != 1) return RoomOutcome::kFailed;
            exchange = encrypt.value[0] != 0;
        }
    }

    std::optional<std::size_t> freeEntry;
    if (card::selectCertificateDirectory(context) != result::kOk ||
        findNameMapEntry(context, 0, freeEntry) != result::kOk) {
        return RoomOutcome::kFailed;
    }
    if (!freeEntry) return RoomOutcome::kNoRoom;
    if (card::selectApplicationSubdirectory(context) != result::kOk) return RoomOutcome::kFailed;

    match.freeEntry = *freeEntry;
    match.keyFound = true;
    match.exchangeKey = exchange;
    match.keyRecord = keyRecord;
    return RoomOutcome::kDone;
}

}  // namespace korva::objects
