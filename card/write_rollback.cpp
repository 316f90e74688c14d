#include "card/write_rollback.h"

#include "card/files.h"
#include "card/identity.h"
#include "card/records.h"
#include "card/select.h"

namespace korva::card {

namespace {

CardResult selectDirectory(CardContext& context, UndoDirectory where) noexcept {
    switch (where) {
        case UndoDirectory::kApplicationSubdirectory: return selectApplicationSubdirectory(context);
        case UndoDirectory::kCertificateDirectory: return selectCertificateDirectory(context);
        case UndoDirectory::kKeyDirectory: return selectKeyDirectory(context);
    }
    return result::kBadArgumentOrTransport;
}

}  // namespace

WriteRollback::~WriteRollback() {
    if (count_ == 0) return;
    // A failure in the middle of a chained command (key material comes in
    // two parts) leaves the card waiting for the chain's last part: it
    // refuses the next command (6883) and drops the chain. A selection of
    // the application subdirectory takes that refusal, so that the undo
    // steps find the card ready.
    (void)selectApplicationSubdirectory(context_);
    while (count_ > 0) {
        Step& step = steps_[--count_];
        try {
            step(context_);
        } catch (...) {
            // An undo step that cannot run leaves its write in place.
        }
    }
}

bool WriteRollback::clearRecordOnUndo(uint16_t directoryFile, uint8_t record) noexcept {
    return onUndo([directoryFile, record](CardContext& context) {
        static constexpr std::array<uint8_t, kRecordSize> kFreeRecord{};
        if (selectApplicationSubdirectory(context) != result::kOk ||
            selectFile(context, directoryFile) != result::kOk) {
            return;
        }
        (void)updateRecord(context, record, kFreeRecord);
    });
}

bool WriteRollback::deleteFileOnUndo(UndoDirectory where, uint16_t fileId) noexcept {
    return onUndo([where, fileId](CardContext& context) {
        if (selectDirectory(context, where) != result::kOk) return;
        (void)deleteFile(context, fileId);
    });
}

bool WriteRollback::freeKeySlotOnUndo(uint8_t keySlot) noexcept {
    return onUndo([keySlot](CardContext& context) { (void)clearKeySlot(context, keySlot); });
}

bool WriteRollback::add(Step step) noexcept {
    if (count_ == steps_.size() || !step) return false;
    steps_[count_++] = std::move(step);
    return true;
}

}  // namespace korva::card
