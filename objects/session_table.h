// The table of session objects that the host keeps for the module: the
// cookie word of HostContext holds its address (null: no table yet). The
// module creates it, fills free entries, appends entries and releases their
// values; the host only keeps the address and hands it back.
//
// Memory: the table object, its element storage and every attribute value
// come from malloc. destroySessionTable is how the table goes away; it wipes
// every value first.
#pragma once

#include "objects/template_record.h"

#include <korva/host_records.h>
#include <korva/transport.h>

#include <cstdint>

namespace korva::objects {

inline constexpr uint32_t kMaxSessionObjects = 255;

// The table the cookie names, or null.
abi::HostSessionTable* sessionTable(const abi::HostContext& host) noexcept;

// Number of entries (free ones included); 0 for a null table.
uint32_t sessionObjectCount(const abi::HostSessionTable* table) noexcept;

// Session object `index` (1-based), or null when the table is null or the
// index is out of range.
abi::SessionObject* sessionObject(abi::HostSessionTable* table, uint32_t index) noexcept;

enum class SessionStoreResult : uint8_t { Ok, Full, OutOfMemory };

// Moves the attributes of `attributes` into the first free entry (count 0)
// of the host's table, or appends an entry when none is free, and marks the
// entry's class as a secret key. Creates the table and stores its address
// in host.cookie when the cookie is null. Full when all 255 entries are in
// use. On Ok, `index` is the entry's 1-based index and `attributes` is empty.
SessionStoreResult storeSessionObject(abi::HostContext& host, TemplateRecord& attributes, uint8_t& index) noexcept;

// Wipes and frees the values of session object `index` and frees its entry
// for reuse. Returns false when there is no such entry.
bool releaseSessionObject(abi::HostSessionTable* table, uint32_t index) noexcept;

// Releases every entry's values, the element storage and the table itself.
void destroySessionTable(abi::HostSessionTable* table) noexcept;

}  // namespace korva::objects
