// Object search and reading for the host: the slots that walk the token's
// objects with the host's cursor, read one object by handle, report the
// default attributes of a class and the change counter, and release what
// the module handed to the host. The module keeps nothing between calls:
// a search lives in the host's FindCursor and in the counters file.
#pragma once

#include "objects/read_object.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

// The value a walk returns when no object is left (not an error).
inline constexpr abi::CK_RV kEndOfObjects = 8;

// What slots 15, 62 and 64 tell the host about the object they reached;
// the slot hands it over on CKR_OK. `attributes` (slots 62 and 64) is a new
// array that the host releases with slot 63.
struct ObjectReport {
    abi::ObjectHandle handle{};
    ObjectFacts facts;
    abi::CK_ATTRIBUTE* attributes = nullptr;
    uint32_t count = 0;
};

// Slot 14.
abi::CK_RV findObjectsInit(std::span<const abi::CK_ATTRIBUTE> tmpl, abi::FindCursor& cursor);

// Slot 15.
abi::CK_RV findNextObject(const abi::HostContext& host, const abi::LoginRecord* login, const TokenSettings& settings,
                          std::span<abi::CK_ATTRIBUTE> tmpl, abi::FindCursor& cursor, ObjectReport& report);

// Slot 62.
abi::CK_RV findNextObjectAttributes(const abi::HostContext& host, const abi::LoginRecord* login,
                                    const TokenSettings& settings, abi::FindCursor& cursor, ObjectReport& report);

// Slot 64. Only a token object needs the settings (nothing: the host gave
// none).
abi::CK_RV getAllAttributes(const abi::HostContext& host, const std::optional<TokenSettings>& settings,
                            const abi::ObjectHandle& handle, ObjectReport& report);

// Slot 13.
abi::CK_RV getAttributeValue(const abi::HostContext& host, const abi::LoginRecord* login, const TokenSettings& settings,
                             const abi::ObjectHandle& handle, std::span<abi::CK_ATTRIBUTE> tmpl);

// Slot 65.
abi::CK_RV getDefaultAttributes(abi::CK_ATTRIBUTE** attributes, uint32_t* count, uint32_t classNumber);

// Slot 66.
abi::CK_RV getChangeCounter(const abi::HostContext& host, uint32_t* counter);

// Slot 17.
abi::CK_RV getObjectSize(const abi::ObjectHandle* handle, uint32_t* size);

// Slot 70.
abi::CK_RV releaseSessionObjects(abi::HostContext* host, const abi::HostHandleList* handles);

}  // namespace korva::objects
