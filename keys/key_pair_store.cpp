#include "keys/key_pair_store.h"

#include "objects/allocate_record.h"
#include "objects/bookkeeping.h"
#include "objects/container_map.h"
#include "objects/layout.h"

#include "card/files.h"
#include "card/records.h"
#include "card/select.h"
#include "session/pin.h"

#include <korva/pkcs11_constants.h>

namespace korva::keys {
namespace {

constexpr uint16_t kPublicKeyDirectory = objects::directoryOf(objects::ObjectClass::PublicKey);
constexpr uint16_t kPrivateKeyDirectory = objects::directoryOf(objects::ObjectClass::PrivateKey);

CK_RV encodeOne(const objects::TemplateRecord& list, objects::DirectoryRecord& record) noexcept {
    std::size_t size = 0;
    switch (objects::encodeDirectoryRecord(list.entries(), record, size)) {
        case objects::EncodeResult::Ok: return abi::CKR_OK;
        case objects::EncodeResult::TooLong: return abi::CKR_ATTRIBUTE_VALUE_INVALID;
        case objects::EncodeResult::InvalidValue: break;
    }
    return abi::CKR_FUNCTION_FAILED;
}

CardResult writeRecord(CardContext& context, uint16_t directoryId, uint8_t number,
                       const objects::DirectoryRecord& record) noexcept {
    if (const CardResult rc = card::selectFile(context, directoryId); rc != result::kOk) return rc;
    return card::updateRecord(context, number, record);
}

}  // namespace

CK_RV reserveRecords(CardContext& context, const abi::LoginRecord* login, const token::TokenSettings& settings,
                     KeyPairRecords& records) noexcept {
    if (card::selectApplicationSubdirectory(context) != result::kOk ||
        token::loginWith(context, login) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    CK_RV rv = objects::roomToRv(objects::allocateRecord(context, settings, kPublicKeyDirectory, records.publicRecord));
    if (rv != abi::CKR_OK) return rv;
    rv = objects::roomToRv(objects::allocateRecord(context, settings, kPrivateKeyDirectory, records.privateRecord));
    if (rv != abi::CKR_OK) return rv;
    // Record numbers count from 1; the key files and references depend on it.
    return records.publicRecord != 0 && records.privateRecord != 0 ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

CK_RV encodeLists(const KeyPairLists& lists, EncodedPair& encoded) noexcept {
    if (const CK_RV rv = encodeOne(lists.publicKey, encoded.publicRecord); rv != abi::CKR_OK) return rv;
    return encodeOne(lists.privateKey, encoded.privateRecord);
}

CK_RV storePair(CardContext& context, const KeyPairLists& lists, const KeyPairRecords& records,
                const EncodedPair& encoded, bool defaultSize, card::WriteRollback& rollback) noexcept {
    if (!rollback.clearRecordOnUndo(kPublicKeyDirectory, records.publicRecord) ||
        !rollback.clearRecordOnUndo(kPrivateKeyDirectory, records.privateRecord)) {
        return abi::CKR_FUNCTION_FAILED;
    }
    // The application subdirectory that holds both directories is still
    // current: the key's own commands (generation, key files, the card
    // information record) select nothing outside it.
    if (writeRecord(context, kPublicKeyDirectory, records.publicRecord, encoded.publicRecord) != result::kOk ||
        writeRecord(context, kPrivateKeyDirectory, records.privateRecord, encoded.privateRecord) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    // A map entry naming a free record would show other software a key
    // that is not there: it goes with the records.
    const std::size_t entry = records.publicRecord - 1u;
    const bool undoable = rollback.onUndo([entry](CardContext& undo) {
        if (card::selectApplicationSubdirectory(undo) != result::kOk) return;
        (void)objects::clearContainerMapEntry(undo, entry);
    });
    if (!undoable ||
        objects::writeContainerMapEntry(context, lists.publicKey.entries(), entry, defaultSize) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    return abi::CKR_OK;
}

CardResult bumpKeyPairCounters(CardContext& context) noexcept {
    objects::CountersBytes bytes{};
    if (const CardResult rc = objects::readCounters(context, bytes); rc != result::kOk) return rc;
    if (!objects::counters::applyChange(bytes, true, true, abi::CKO_PUBLIC_KEY, 1) ||
        !objects::counters::countClass(bytes, abi::CKO_PRIVATE_KEY, 1)) {
        return result::kBadArgumentOrTransport;
    }
    return card::updateBinary(context, 0, bytes);
}

void reportPair(const KeyPairRecords& records, const PrivateFlags& flags, const KeyPairOutputs& outputs) noexcept {
    *outputs.publicHandle = objects::makeHandle(records.publicRecord, kPublicKeyDirectory);
    *outputs.privateHandle = objects::makeHandle(records.privateRecord, kPrivateKeyDirectory);
    *outputs.publicSummary = {abi::CKO_PUBLIC_KEY, static_cast<uint8_t>(flags.publicKey ? 1 : 0)};
    *outputs.privateSummary = {abi::CKO_PRIVATE_KEY, static_cast<uint8_t>(flags.privateKey ? 1 : 0)};
}

}  // namespace korva::keys
