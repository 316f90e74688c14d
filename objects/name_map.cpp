#include "objects/name_map.h"

#include "objects/attribute_record.h"
#include "objects/directory_files.h"
#include "objects/layout.h"

#include "card/files.h"
#include "card/select.h"

#include <array>

namespace korva::objects {

CardResult findNameMapEntry(CardContext& context, uint16_t fileId, std::size_t& index) noexcept {
    if (const CardResult rc = card::selectFile(context, kNameMapFileId); rc != result::kOk) return rc;
    std::array<uint8_t, name_map::kFileBytes> bytes{};
    if (const CardResult rc = card::readBinary(context, 0, bytes); rc != result::kOk) return rc;
    const std::optional<std::size_t> found = objects::findNameMapEntry(bytes, fileId);
    if (!found) return result::kNotFound;
    index = *found;
    return result::kOk;
}

CardResult writeNameMapEntry(CardContext& context, const NameMapEntry& entry, std::size_t index) noexcept {
    if (index >= name_map::kEntryCount) return result::kBadArgumentOrTransport;
    if (const CardResult rc = card::selectFile(context, kNameMapFileId); rc != result::kOk) return rc;
    const auto bytes = encodeNameMapEntry(entry);
    return card::updateBinary(context, uint32_t(name_map::entryOffset(index)), bytes);
}

CardResult removeNameMapEntry(CardContext& context, uint16_t fileId) noexcept {
    std::size_t index = 0;
    const CardResult found = findNameMapEntry(context, fileId, index);
    if (found == result::kNotFound) return result::kOk;
    if (found != result::kOk) return found;
    return writeNameMapEntry(context, NameMapEntry{}, index);
}

CardResult matchCertificateKey(CardContext& context, std::span<const uint8_t> certificateRecord,
                               CertificateKeyMatch& match) noexcept {
    match = CertificateKeyMatch{};
    if (certificateRecord.size() <= 4) return result::kOk;
    const RecordLookup id = findInRecord(certificateRecord, abi::CKA_ID);
    if (id.result == LookupResult::Malformed) return result::kBadArgumentOrTransport;
    // An empty identifier (what a certificate created without one stores)
    // names no key: it would pair the certificate with any key that has no
    // identifier either.
    if (id.result == LookupResult::Absent || id.value.empty()) return result::kOk;

    uint8_t keyRecord = 0;
    const CardResult searched = findKeyRecordById(context, directoryOf(ObjectClass::PublicKey), id.value, keyRecord);
    if (searched == result::kNotFound) return card::selectApplicationSubdirectory(context);
    if (searched != result::kOk) return searched;

    DirectoryRecord record;
    uint32_t length = 0;
    if (const CardResult rc = readDirectoryRecord(context, keyRecord, record, length); rc != result::kOk) return rc;
    if (length < 2) return result::kUnexpected;
    bool exchange = false;
    if (length > 4) {
        const RecordLookup encrypt = findInRecord(std::span(record).first(length), abi::CKA_ENCRYPT);
        if (encrypt.result == LookupResult::Malformed) return result::kUnexpected;
        if (encrypt.result == LookupResult::Found) {
            if (encrypt.value.size() != 1) return result::kUnexpected;
            exchange = encrypt.value[0] != 0;
        }
    }

    if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
    std::size_t freeEntry = 0;
    const CardResult found = findNameMapEntry(context, 0, freeEntry);
    if (found == result::kNotFound) return result::kMemory;
    if (found != result::kOk) return found;
    if (const CardResult rc = card::selectApplicationSubdirectory(context); rc != result::kOk) return rc;

    match.freeEntry = freeEntry;
    match.keyFound = true;
    match.exchangeKey = exchange;
    match.keyRecord = keyRecord;
    return result::kOk;
}

}  // namespace korva::objects
