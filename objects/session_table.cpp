#include "objects/session_table.h"

#include <korva/pkcs11_types.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace korva::objects {

using abi::HostSessionTable;
using abi::SessionObject;

namespace {

uint32_t capacityOf(const HostSessionTable& table) {
    if (table.begin == nullptr || table.storageEnd < table.begin) return 0;
    return uint32_t(table.storageEnd - table.begin);
}

HostSessionTable* createTable() { return static_cast<HostSessionTable*>(std::calloc(1, sizeof(HostSessionTable))); }

// Room for one more entry; the storage grows by doubling up to 255 entries.
// The entries are plain records (their values are owned through pointers),
// so moving them is a byte copy.
bool reserveOneMore(HostSessionTable& table) {
    const uint32_t count = sessionObjectCount(&table);
    if (count < capacityOf(table)) return true;
    const uint32_t capacity = std::min(kMaxSessionObjects, std::max<uint32_t>(4, count * 2));
    auto* storage = static_cast<SessionObject*>(std::calloc(capacity, sizeof(SessionObject)));
    if (storage == nullptr) return false;
    if (count != 0) std::memcpy(storage, table.begin, count * sizeof(SessionObject));
    std::free(table.begin);
    table.begin = storage;
    table.end = storage + count;
    table.storageEnd = storage + capacity;
    return true;
}

}  // namespace

HostSessionTable* sessionTable(const abi::HostContext& host) noexcept {
    return static_cast<HostSessionTable*>(host.cookie);
}

uint32_t sessionObjectCount(const HostSessionTable* table) noexcept {
    if (table == nullptr || table->begin == nullptr || table->end < table->begin) return 0;
    return uint32_t(table->end - table->begin);
}

SessionObject* sessionObject(HostSessionTable* table, uint32_t index) noexcept {
    if (index == 0 || index > sessionObjectCount(table)) return nullptr;
    return table->begin + (index - 1);
}

SessionStoreResult storeSessionObject(abi::HostContext& host, TemplateRecord& attributes, uint8_t& index) noexcept {
    HostSessionTable* table = sessionTable(host);
    if (table == nullptr) {
        table = createTable();
        if (table == nullptr) return SessionStoreResult::OutOfMemory;
        host.cookie = table;
    }
    const uint32_t count = sessionObjectCount(table);
    uint32_t slot = 0;
    while (slot < count && table->begin[slot].count != 0) ++slot;
    if (slot == count) {
        if (count >= kMaxSessionObjects) return SessionStoreResult::Full;
        if (!reserveOneMore(*table)) return SessionStoreResult::OutOfMemory;
        table->begin[slot] = SessionObject{};
        ++table->end;
    }
    SessionObject& entry = table->begin[slot];
    releaseSessionObjectValues(entry);  // a free entry holds nothing, but be sure
    attributes.swap(entry);
    entry.objectClass = abi::CKO_SECRET_KEY;
    index = uint8_t(slot + 1);
    return SessionStoreResult::Ok;
}

bool releaseSessionObject(HostSessionTable* table, uint32_t index) noexcept {
    SessionObject* entry = sessionObject(table, index);
    if (entry == nullptr) return false;
    releaseSessionObjectValues(*entry);
    return true;
}

void destroySessionTable(HostSessionTable* table) noexcept {
    if (table == nullptr) return;
    const uint32_t count = sessionObjectCount(table);
    for (uint32_t i = 0; i < count; ++i) releaseSessionObjectValues(table->begin[i]);
    std::free(table->begin);
    std::free(table);
}

}  // namespace korva::objects
