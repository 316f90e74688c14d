#include "host/handles.h"

#include "host/card_commands.h"

#include <algorithm>
#include <atomic>
#include <iterator>

namespace korva::host {
namespace {

// Shared by every token of the process; 0 is CK_INVALID_HANDLE. At one new
// handle a microsecond the 32-bit count lasts over an hour of nothing but
// creations, far beyond any card's object store.
std::atomic<unsigned long> lastHandle{0};

ck_object_handle_t nextHandle() {
    unsigned long handle = ++lastHandle;
    while (handle == CK_INVALID_HANDLE) handle = ++lastHandle;
    return handle;
}

bool sameModuleHandle(const abi::ObjectHandle& a, const abi::ObjectHandle& b) {
    return a.record == b.record && a.directoryHigh == b.directoryHigh && a.directoryLow == b.directoryLow;
}

}  // namespace

bool ObjectEntry::sameObject(const ObjectEntry& other) const {
    return tokenObject == other.tokenObject && librarySerial == other.librarySerial &&
           sameModuleHandle(module, other.module);
}

bool ObjectEntry::namedAs(const std::optional<ObjectIdentity>& otherIdentity,
                          const std::optional<ObjectIdentity>& otherPairedWith) const {
    return identity == otherIdentity && (!pairedWith || !otherPairedWith || pairedWith == otherPairedWith);
}

bool ObjectEntry::onCard() const {
    return librarySerial == 0 &&
           static_cast<uint16_t>(module.directoryHigh << 8 | module.directoryLow) != KORVA_SESSION_DIRECTORY;
}

ck_object_handle_t HandleTable::handleFor(const ObjectEntry& entry) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        auto& [handle, known] = *it;
        if (!known.sameObject(entry)) continue;
        if (entry.identity && !known.namedAs(entry.identity, entry.pairedWith)) {
            entries_.erase(it);  // another object took the record
            break;
        }
        known = entry;
        return handle;
    }
    const ck_object_handle_t handle = nextHandle();
    entries_.emplace(handle, entry);
    return handle;
}

const ObjectEntry* HandleTable::find(ck_object_handle_t handle) const {
    const auto found = entries_.find(handle);
    return found == entries_.end() ? nullptr : &found->second;
}

void HandleTable::forget(ck_object_handle_t handle) { entries_.erase(handle); }

void HandleTable::forgetObject(const abi::ObjectHandle& module) {
    std::erase_if(entries_, [&](const auto& item) {
        return item.second.librarySerial == 0 && sameModuleHandle(item.second.module, module);
    });
}

void HandleTable::forgetLibraryObject(uint32_t serial) {
    std::erase_if(entries_, [&](const auto& item) { return item.second.librarySerial == serial; });
}

void HandleTable::forgetPrivate() {
    std::erase_if(entries_, [](const auto& item) { return item.second.isPrivate; });
}

void HandleTable::noteUsedElsewhere(std::optional<bool> usedElsewhere) {
    if (usedElsewhere != false) othersMayHaveChanged_ = true;
}

void HandleTable::noteCard(uint64_t card) {
    // Another card, or the same one re-inserted or reset: its records may
    // hold anything.
    if (card == card_) return;
    othersMayHaveChanged_ = true;
    counter_.reset();
    card_ = card;
}

void HandleTable::noteCommand(std::span<const uint8_t> command) {
    if (!leavesCardContentAlone(command)) ownChanges_ = true;
}

bool HandleTable::wroteWithHandlesOut() const {
    return ownChanges_ &&
           std::any_of(entries_.begin(), entries_.end(), [](const auto& item) { return item.second.onCard(); });
}

void HandleTable::noteCounter(std::optional<uint32_t> counter) {
    // Our own creations and destructions move the counter as well. While
    // nobody else had the card they are all that moved it (a destruction of
    // ours forgot its handles): the counter is only taken as it is. After
    // another process may have had it, a counter that moved, or one that
    // moved by both hands, leaves every card object's handle in doubt.
    const bool doubt = othersMayHaveChanged_ && (ownChanges_ || !counter || counter != counter_);
    if (doubt) {
        for (auto& [handle, entry] : entries_) entry.recheck = entry.recheck || entry.onCard();
    }
    counter_ = counter;
    ownChanges_ = false;
    othersMayHaveChanged_ = !counter.has_value();
}

void HandleTable::noteSeen(const abi::ObjectHandle& module, const ObjectIdentity& identity,
                           const std::optional<ObjectIdentity>& pairedWith) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        ObjectEntry& entry = it->second;
        const bool settled = entry.recheck && entry.onCard() && sameModuleHandle(entry.module, module);
        entry.recheck = entry.recheck && !settled;
        it = settled && !entry.namedAs(identity, pairedWith) ? entries_.erase(it) : std::next(it);
    }
}

void HandleTable::setIdentity(ck_object_handle_t handle, std::optional<ObjectIdentity> identity) {
    if (const auto found = entries_.find(handle); found != entries_.end()) found->second.identity = identity;
}

}  // namespace korva::host
