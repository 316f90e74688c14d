#include "objects/destroy_object.h"

#include "objects/bookkeeping.h"
#include "objects/container_map.h"
#include "objects/name_map.h"
#include "objects/object_bodies.h"
#include "objects/session_table.h"

#include "card/files.h"
#include "card/identity.h"
#include "card/records.h"
#include "card/select.h"
#include "session/pin.h"

#include <new>
#include <optional>
#include <vector>

namespace korva::objects {

namespace {

using abi::CK_RV;

constexpr uint32_t kUserType = 1;

// Reads a key's record (the pairing search and the key reference need it).
CardResult readKeyRecord(CardContext& context, uint16_t directoryId, uint8_t number, DirectoryRecord& record,
                         uint32_t& length) {
    if (const CardResult rc = card::selectFile(context, directoryId); rc != result::kOk) return rc;
    return readDirectoryRecord(context, number, record, length);
}

// A key's body: a private key's is that of the public key with the same
// CKA_ID. The other half's directory is searched for either half before
// anything on the card changes, so that a damaged directory (a malformed
// record, a failing read) stops the destruction while the key still works.
CardResult keyBodyOf(CardContext& context, const ClassLayout& layout, uint8_t number, std::span<const uint8_t> record,
                     std::optional<uint16_t>& body) {
    const bool privateKey = layout.objectClass == ObjectClass::PrivateKey;
    const uint16_t otherHalf = directoryOf(privateKey ? ObjectClass::PublicKey : ObjectClass::PrivateKey);
    uint8_t match = 0;
    const CardResult found = findKeyWithSameId(context, otherHalf, record, match);
    if (found != result::kOk && found != result::kNotFound) return found;
    if (!privateKey) {
        body = bodyFileId(layout.bodyPrefix, number);
    } else if (found == result::kOk) {
        body = bodyFileId(kKeyPairBodyPrefix, match);
    }
    return result::kOk;
}

CardResult removeBody(CardContext& context, const ClassLayout& layout, uint8_t number) {
    const bool key = layout.objectClass == ObjectClass::PublicKey || layout.objectClass == ObjectClass::PrivateKey;
    std::optional<uint16_t> body;
    if (key) {
        DirectoryRecord record{};
        uint32_t length = 0;
        if (const CardResult rc = readKeyRecord(context, layout.directoryId, number, record, length);
            rc != result::kOk) {
            return rc;
        }
        const std::span<const uint8_t> stored(record.data(), length);
        if (const CardResult rc = keyBodyOf(context, layout, number, stored, body); rc != result::kOk) return rc;
        uint8_t reference = 0;
        switch (keyReferenceOf(stored, reference)) {
            case KeyReferenceLookup::Malformed: return result::kUnexpected;
            case KeyReferenceLookup::Found: return card::clearKeySlot(context, reference);
            case KeyReferenceLookup::None: break;
        }
    } else {
        body = bodyFileId(layout.bodyPrefix, number);
    }
    if (layout.objectClass == ObjectClass::Certificate) {
        // Certificate bodies always live in the certificate subdirectory.
        if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
    }
    if (!body) return result::kOk;
    if (const CardResult rc = deleteIfPresent(context, *body); rc != result::kOk) return rc;
    // A key pair's private exponent, if it has one: deleting alone is enough,
    // since a missing file only makes the card refuse.
    if (key) (void)card::deleteFile(context, uint16_t(*body | kPrivateExponentFileBit));
    return result::kOk;
}

// The other classes' bodies and key slots lie in the application
// subdirectory, which stays current. A certificate's body took the
// certificate subdirectory: the destruction steps back to the application
// subdirectory first, then into the certificate subdirectory again when the
// certificate directory lives there.
CardResult freeRecord(CardContext& context, const TokenSettings& settings, const ClassLayout& layout, uint8_t number,
                      bool& wasInUse) {
    if (layout.objectClass == ObjectClass::Certificate) {
        if (const CardResult rc = card::selectApplicationSubdirectory(context); rc != result::kOk) return rc;
        if (directoryInSubdirectory(settings, layout.directoryId)) {
            if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
        }
    }
    if (const CardResult rc = card::selectFile(context, layout.directoryId); rc != result::kOk) return rc;
    DirectoryRecord record{};
    uint32_t length = 0;
    if (const CardResult rc = readDirectoryRecord(context, number, record, length); rc != result::kOk) return rc;
    wasInUse = length >= 4 && !isFreeRecord(std::span(record).first(length));
    const DirectoryRecord zeros{};
    if (const CardResult rc = card::updateRecord(context, number, zeros); rc != result::kOk) return rc;
    return leaveDirectoryParent(context, settings, layout.directoryId);
}

}  // namespace

CK_RV destroyTokenObject(CardContext& context, const TokenSettings& settings, uint16_t directoryId, uint8_t record) {
    const ClassLayout* layout = layoutForDirectory(directoryId);
    if (layout == nullptr) return abi::CKR_FUNCTION_FAILED;
    if (removeBody(context, *layout, record) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    bool wasInUse = false;
    if (freeRecord(context, settings, *layout, record, wasInUse) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (!wasInUse) return abi::CKR_OK;
    return bumpCounters(context, true, true, uint32_t(layout->objectClass), 0xFF) == result::kOk
               ? abi::CKR_OK
               : abi::CKR_FUNCTION_FAILED;
}

CK_RV destroyObject(const abi::HostContext& host, const abi::LoginRecord* login,
                    const std::optional<TokenSettings>& settings, const abi::ObjectHandle& handle) {
    if (isSessionHandle(handle)) {
        return releaseSessionObject(sessionTable(host), handle.record) ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
    }
    if (!settings) return abi::CKR_ARGUMENTS_BAD;
    CardContext context(host);
    if (card::selectApplicationSubdirectory(context) != result::kOk) return abi::CKR_GENERAL_ERROR;
    if (token::loginWith(context, login) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    const uint16_t directoryId = handleDirectory(handle);
    const uint8_t record = handle.record;
    if (const CK_RV rv = destroyTokenObject(context, *settings, directoryId, record); rv != abi::CKR_OK) return rv;

    const ClassLayout* layout = layoutForDirectory(directoryId);
    if (layout->objectClass == ObjectClass::PublicKey && record != 0 &&
        clearContainerMapEntry(context, record - 1u) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    if (layout->objectClass == ObjectClass::Certificate) {
        if (card::selectCertificateDirectory(context) != result::kOk ||
            removeNameMapEntry(context, bodyFileId(layout->bodyPrefix, record)) != result::kOk ||
            card::selectApplicationSubdirectory(context) != result::kOk) {
            return abi::CKR_FUNCTION_FAILED;
        }
    }
    return abi::CKR_OK;
}

CardResult purgeTransientSecretKeys(CardContext& context, uint32_t userType) noexcept {
    if (userType != kUserType) return result::kOk;
    try {
        if (card::selectApplicationSubdirectory(context) != result::kOk) return result::kBadArgumentOrTransport;
        if (card::selectFile(context, directoryOf(ObjectClass::SecretKey)) != result::kOk) return result::kOk;
        const std::optional<uint8_t> count = selectedRecordCount(context);
        if (!count) return result::kBadArgumentOrTransport;
        std::vector<uint8_t> transient;
        for (unsigned n = *count; n >= 1; --n) {
            DirectoryRecord record;
            uint32_t length = 0;
            if (readDirectoryRecord(context, uint8_t(n), record, length) != result::kOk || length <= 4) continue;
            const std::span<const uint8_t> stored(record.data(), length);
            if (isFreeRecord(stored)) continue;
            const RecordLookup token = findInRecord(stored, abi::CKA_TOKEN);
            if (token.result == LookupResult::Found && !token.value.empty() && token.value[0] == 0) {
                transient.push_back(uint8_t(n));
            }
        }
        // Only the application subdirectory's layout matters for secret keys.
        const TokenSettings settings{};
        for (const uint8_t n : transient) {
            (void)card::selectApplicationSubdirectory(context);
            (void)destroyTokenObject(context, settings, directoryOf(ObjectClass::SecretKey), n);
        }
        return result::kOk;
    } catch (const std::bad_alloc&) {
        return result::kMemory;
    }
}

}  // namespace korva::objects
