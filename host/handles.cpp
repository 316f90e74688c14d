#include "host/handles.h"

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

ck_object_handle_t HandleTable::handleFor(const ObjectEntry& entry) {
    for (auto& [handle, known] : entries_) {
        if (!known.sameObject(entry)) continue;
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

}  // namespace korva::host
