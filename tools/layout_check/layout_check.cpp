#include "tools/layout_check/layout_check.h"

#include "objects/attribute_record.h"
#include "objects/container_name.h"
#include "objects/layout.h"

#include "card/files.h"
#include "card/records.h"
#include "card/select.h"
#include "card/card_context.h"

#include "session/settings.h"

#include <korva/pkcs11_types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

namespace korva::layout {

namespace {

using Bytes = std::vector<uint8_t>;
using objects::ClassLayout;
using objects::ObjectClass;

// The checker talks to the card with the card layer's own helpers over a
// transport of its own, so that it sees the card exactly as it is.
thread_local sim::VirtualCard* checkedCard = nullptr;

uint32_t transmitToCard(abi::HostContext, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                        uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2, uint32_t, uint32_t) {
    const sim::Answer answer = checkedCard->transmit(std::span(command, commandLength));
    if (answer.data.size() > *responseLength) return 1;
    std::copy(answer.data.begin(), answer.data.end(), response);
    *responseLength = uint32_t(answer.data.size());
    *sw1 = answer.sw1;
    *sw2 = answer.sw2;
    return 0;
}

struct StoredRecord {
    uint8_t number = 0;
    Bytes bytes;

    std::optional<Bytes> attribute(uint32_t type) const {
        const objects::RecordLookup found = objects::findInRecord(bytes, type);
        if (found.result != objects::LookupResult::Found) return std::nullopt;
        return Bytes(found.value.begin(), found.value.end());
    }
};

struct Directory {
    bool exists = false;
    int recordCount = 0;
    std::vector<StoredRecord> used;
};

class Checker {
public:
    Checker(sim::VirtualCard& card, const std::array<uint8_t, 17>& settings)
        : settings_(settings), context_(abi::HostContext{0, 0, transmitToCard, nullptr}) {
        checkedCard = &card;
    }
    ~Checker() { checkedCard = nullptr; }

    // A card that was never initialised has no application folder.
    bool initialised() { return card::selectApplicationSubdirectory(context_) == result::kOk; }

    std::array<uint8_t, 17> readSettings() {
        token::TokenSettings settings{};
        if (token::readSettingsRecord(context_, settings) != result::kOk) problem("no token settings record 50E1");
        return settings;
    }
    void useSettings(const std::array<uint8_t, 17>& settings) { settings_ = settings; }

    LayoutReport run() {
        for (const ClassLayout& layout : objects::kClassLayouts)
            directories_[layout.objectClass] = readDirectory(layout);
        checkCounts();
        checkBodies();
        checkContainerMap();
        checkNameMap();
        return std::move(report_);
    }

private:
    void problem(const std::string& text) { report_.problems.push_back(text); }

    bool certificatesInSubdirectory() const { return settings_[0] != 1; }

    bool selectParent(uint16_t directoryId) {
        const bool sub = directoryId == 0x5004 && certificatesInSubdirectory();
        return (sub ? card::selectCertificateDirectory(context_) : card::selectApplicationSubdirectory(context_)) ==
               result::kOk;
    }

    Directory readDirectory(const ClassLayout& layout) {
        Directory directory;
        if (!selectParent(layout.directoryId)) {
            problem("cannot select the folder of the directories");
            return directory;
        }
        if (card::selectFile(context_, layout.directoryId) != result::kOk) return directory;
        directory.exists = true;
        directory.recordCount = context_.fci.recordCount;
        if (directory.recordCount > layout.maxRecords) problem(hexId(layout.directoryId) + " has too many records");
        for (int n = 1; n <= directory.recordCount; ++n) {
            std::array<uint8_t, 255> bytes{};
            uint32_t length = 255;
            if (card::readRecord(context_, uint8_t(n), bytes, length) != result::kOk || length != 255) {
                problem(hexId(layout.directoryId) + " record " + std::to_string(n) + " cannot be read whole");
                continue;
            }
            if (objects::isFreeRecord(bytes)) continue;
            StoredRecord record{uint8_t(n), Bytes(bytes.begin(), bytes.end())};
            std::span<const uint8_t> rest = record.bytes;
            objects::RecordEntry entry;
            objects::EntryResult step;
            while ((step = objects::nextEntry(rest, entry)) == objects::EntryResult::Entry) {
            }
            if (step == objects::EntryResult::Malformed)
                problem(hexId(layout.directoryId) + " record " + std::to_string(n) + " is malformed");
            directory.used.push_back(std::move(record));
        }
        return directory;
    }

    void checkCounts() {
        if (card::selectApplicationSubdirectory(context_) != result::kOk ||
            card::selectFile(context_, objects::kCountersFileId) != result::kOk) {
            problem("no counters file");
            return;
        }
        std::array<uint8_t, 14> counts{};
        if (card::readBinary(context_, 0, counts) != result::kOk) {
            problem("counters file unreadable");
            return;
        }
        for (const ClassLayout& layout : objects::kClassLayouts) {
            const size_t used = directories_[layout.objectClass].used.size();
            if (counts[layout.countsByte] != used) {
                problem("count of " + hexId(layout.directoryId) + " is " + std::to_string(counts[layout.countsByte]) +
                        " but " + std::to_string(used) + " records are in use");
            }
        }
    }

    bool exists(uint16_t fileId) { return card::selectFile(context_, fileId) == result::kOk; }

    // Record numbers whose bodies must or must not exist, per class.
    void checkBodies() {
        checkOwnBodies(ObjectClass::Data, 0x67, false);
        checkOwnBodies(ObjectClass::Certificate, 0x64, true);
        checkOwnBodies(ObjectClass::SecretKey, 0x63, false);
        checkKeyPairs();
    }

    void checkOwnBodies(ObjectClass objectClass, uint8_t prefix, bool inSubdirectory) {
        const Directory& directory = directories_[objectClass];
        const bool selected = inSubdirectory ? card::selectCertificateDirectory(context_) == result::kOk
                                             : card::selectApplicationSubdirectory(context_) == result::kOk;
        if (!selected) return;
        const int highest = std::max(directory.recordCount, 16);
        for (int n = 1; n <= highest && n <= 254; ++n) {
            const bool used = std::ranges::any_of(directory.used, [&](const StoredRecord& r) { return r.number == n; });
            const uint16_t body = objects::bodyFileId(prefix, uint8_t(n));
            const bool present = exists(body);
            if (used && !present) problem("record " + std::to_string(n) + " has no body " + hexId(body));
            if (!used && present) problem("body " + hexId(body) + " has no record");
        }
    }

    void checkKeyPairs() {
        const Directory& publics = directories_[ObjectClass::PublicKey];
        const Directory& privates = directories_[ObjectClass::PrivateKey];
        for (const StoredRecord& key : publics.used) {
            if (const auto reference = key.attribute(abi::CKA_VENDOR_KEY_REFERENCE)) {
                if (card::selectKeyDirectory(context_) != result::kOk || reference->size() != 1 ||
                    !exists(objects::cardKeyFileId((*reference)[0]))) {
                    problem("public key " + std::to_string(key.number) + " names a missing card key");
                }
                continue;
            }
            card::selectApplicationSubdirectory(context_);
            if (!exists(objects::bodyFileId(0x61, key.number))) {
                problem("public key " + std::to_string(key.number) + " has no key file");
            }
        }
        for (const StoredRecord& key : privates.used) {
            if (key.attribute(abi::CKA_VENDOR_KEY_REFERENCE)) continue;
            const auto id = key.attribute(abi::CKA_ID);
            const auto match = std::ranges::find_if(
                publics.used, [&](const StoredRecord& p) { return id && p.attribute(abi::CKA_ID) == id; });
            if (match == publics.used.end())
                problem("private key " + std::to_string(key.number) + " has no public key");
        }
        // A key pair's files belong to a public key record.
        card::selectApplicationSubdirectory(context_);
        for (int n = 1; n <= 16; ++n) {
            const bool used = std::ranges::any_of(publics.used, [&](const StoredRecord& r) { return r.number == n; });
            if (!used && exists(objects::bodyFileId(0x61, uint8_t(n))))
                problem("key file 61" + hexByte(n) + " has no record");
            if (!used && exists(uint16_t(objects::bodyFileId(0x61, uint8_t(n)) | 0x8000))) {
                problem("exponent file E1" + hexByte(n) + " has no record");
            }
        }
    }

    void checkContainerMap() {
        const Directory& publics = directories_[ObjectClass::PublicKey];
        if (card::selectCertificateDirectory(context_) != result::kOk ||
            card::selectFile(context_, objects::kContainerMapFileId) != result::kOk) {
            problem("no container map");
            return;
        }
        const uint32_t size = context_.fci.fileSize;
        if (publics.exists && size < objects::container_map::sizeFor(size_t(publics.recordCount))) {
            problem("container map of " + std::to_string(size) + " bytes for " + std::to_string(publics.recordCount) +
                    " public-key records");
            return;
        }
        for (int k = 0; k < publics.recordCount; ++k) {
            std::array<uint8_t, 86> bytes{};
            if (card::readBinary(context_, uint32_t(86 * k), bytes) != result::kOk) {
                problem("container map entry " + std::to_string(k) + " unreadable");
                continue;
            }
            const auto entry = objects::decodeContainerMapEntry(bytes);
            const auto key =
                std::ranges::find_if(publics.used, [&](const StoredRecord& r) { return r.number == k + 1; });
            if (key == publics.used.end()) {
                if (!entry->isFree()) problem("container map entry " + std::to_string(k) + " names a free record");
                continue;
            }
            const Bytes id = key->attribute(abi::CKA_ID).value_or(Bytes{});
            if (entry->flags != objects::container_map::kValidContainer ||
                entry->name != objects::containerNameFor(id)) {
                problem("container map entry " + std::to_string(k) + " does not match public key " +
                        std::to_string(k + 1));
            }
        }
    }

    void checkNameMap() {
        const Directory& certificates = directories_[ObjectClass::Certificate];
        const Directory& publics = directories_[ObjectClass::PublicKey];
        if (card::selectCertificateDirectory(context_) != result::kOk ||
            card::selectFile(context_, objects::kNameMapFileId) != result::kOk) {
            problem("no certificate name map");
            return;
        }
        std::array<uint8_t, objects::name_map::kFileBytes> bytes{};
        if (card::readBinary(context_, 0, bytes) != result::kOk) {
            problem("name map unreadable");
            return;
        }
        std::map<uint16_t, objects::NameMapEntry> entries;
        for (size_t j = 0; j < objects::name_map::kEntryCount; ++j) {
            const auto entry = objects::decodeNameMapEntry(std::span(bytes).subspan(12 * j, 12));
            if ((entry->fileId & 0xFF00) != 0x6400) continue;
            if (!entries.emplace(entry->fileId, *entry).second)
                problem("two name map entries for " + hexId(entry->fileId));
        }
        for (const StoredRecord& certificate : certificates.used) {
            const uint16_t body = objects::bodyFileId(0x64, certificate.number);
            const auto id = certificate.attribute(abi::CKA_ID);
            const auto key = std::ranges::find_if(publics.used, [&](const StoredRecord& p) {
                return id && !id->empty() && p.attribute(abi::CKA_ID) == id;
            });
            const auto entry = entries.find(body);
            if (key == publics.used.end()) {
                if (entry != entries.end())
                    problem("certificate " + std::to_string(certificate.number) + " has a name map entry but no key");
                continue;
            }
            if (entry == entries.end()) {
                problem("certificate " + std::to_string(certificate.number) + " has no name map entry");
                continue;
            }
            const auto encrypt = key->attribute(abi::CKA_ENCRYPT);
            const bool exchange = encrypt && encrypt->size() == 1 && (*encrypt)[0] != 0;
            if (entry->second.name != objects::certificateFileName(exchange, uint8_t(key->number - 1))) {
                problem("name map entry of certificate " + std::to_string(certificate.number) + " is misnamed");
            }
            entries.erase(entry);
        }
        for (const auto& [fileId, entry] : entries) problem("name map entry " + hexId(fileId) + " has no certificate");
    }

    static std::string hexByte(int value) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", value & 0xFF);
        return text;
    }
    static std::string hexId(uint16_t id) { return hexByte(id >> 8) + hexByte(id); }

    std::array<uint8_t, 17> settings_;
    CardContext context_;
    std::map<ObjectClass, Directory> directories_;
    LayoutReport report_;
};

}  // namespace

std::string LayoutReport::text() const {
    std::ostringstream out;
    for (const std::string& line : problems) out << "  " << line << "\n";
    return out.str();
}

LayoutReport checkObjectStore(sim::VirtualCard& card, const std::array<uint8_t, 17>& settings) {
    return Checker(card, settings).run();
}

CardCheck checkCard(sim::VirtualCard& card) {
    Checker checker(card, {});
    CardCheck result;
    result.initialised = checker.initialised();
    if (!result.initialised) return result;
    checker.useSettings(checker.readSettings());
    result.report = checker.run();
    return result;
}

}  // namespace korva::layout
