// Undoing a write that takes several card commands.
//
// Making a key pair, importing one or unwrapping a key writes directory
// records, creates key files and takes a card key slot, one command at a
// time; a failure late in the sequence must not leave half an object on the
// token. The operation registers the matching undo step before each thing
// it writes (or as soon as the write may have begun) and commits once
// everything is in place. If it returns on any other path, the guard runs
// the registered steps, newest first, when it goes out of scope. Undo steps
// are best effort: their own failures are ignored, the operation reports
// its own.
//
// Declare the guard after the CardContext it uses, so that it runs first.
#pragma once

#include "card/card_context.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace korva::card {

// The directory an undo step selects by path before it acts.
enum class UndoDirectory : uint8_t {
    kApplicationSubdirectory,  // A1 BC 7F 01: object directories, key-pair files
    kCertificateDirectory,     // A1 BC 7F 01 70 01
    kKeyDirectory,             // 05 1F: card key objects
};

class WriteRollback final {
public:
    using Step = std::function<void(CardContext&)>;
    // Enough for the longest sequence: two records, two key files, a key
    // slot, a container map entry, the counters, and room to spare.
    static constexpr std::size_t kCapacity = 8;

    explicit WriteRollback(CardContext& context) noexcept : context_(context) {}
    WriteRollback(const WriteRollback&) = delete;
    WriteRollback& operator=(const WriteRollback&) = delete;
    ~WriteRollback();

    // Each registers one step and returns true; false when the list is full
    // (a programming error the caller reports as a failure before it writes).
    // A record of a directory file in A1 BC 7F 01 is written with zeros,
    // which frees it.
    [[nodiscard]] bool clearRecordOnUndo(uint16_t directoryFile, uint8_t record) noexcept;
    [[nodiscard]] bool deleteFileOnUndo(UndoDirectory where, uint16_t fileId) noexcept;
    // The card key slot goes back to the card (80 74 with its bit).
    [[nodiscard]] bool freeKeySlotOnUndo(uint8_t keySlot) noexcept;
    // A step of a layer above the card's, for what only that layer knows how
    // to take back (a container map entry, the counters, ...).
    template <class Undo>
    [[nodiscard]] bool onUndo(Undo&& undo) noexcept {
        try {
            return add(Step(std::forward<Undo>(undo)));
        } catch (...) {
            return false;
        }
    }

    // The write is complete: nothing is undone.
    void commit() noexcept { count_ = 0; }

private:
    bool add(Step step) noexcept;

    CardContext& context_;
    std::array<Step, kCapacity> steps_{};
    std::size_t count_ = 0;
};

}  // namespace korva::card
