// Object search and reading for the host: the slots that walk the token's
// objects with the host's cursor, read one object by handle, report the
// default attributes of a class and the change counter, and release what
// the module handed to the host. The module keeps nothing between calls:
// a search lives in the host's FindCursor and in the counters file.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>

namespace korva::objects {

// The value a walk returns when no object is left (not an error).
inline constexpr abi::CK_RV kEndOfObjects = 8;

// Slot 14.
abi::CK_RV findObjectsInit(const abi::CK_ATTRIBUTE* tmpl, uint32_t count, abi::FindCursor* cursor);

// Slot 15.
abi::CK_RV findNextObject(const abi::HostContext& host, const abi::LoginRecord* login,
                          const abi::HostByteVector* settings, abi::CK_ATTRIBUTE* tmpl, uint32_t count,
                          abi::FindCursor* cursor, abi::ObjectHandle* handle, uint32_t* objectClass,
                          uint8_t* isPrivate);

// Slot 62.
abi::CK_RV findNextObjectAttributes(const abi::HostContext& host, const abi::LoginRecord* login,
                                    const abi::HostByteVector* settings, abi::FindCursor* cursor,
                                    abi::CK_ATTRIBUTE** attributes, uint32_t* count, abi::ObjectHandle* handle,
                                    uint32_t* objectClass, uint8_t* isPrivate);

// Slot 64.
abi::CK_RV getAllAttributes(const abi::HostContext& host, const abi::HostByteVector* settings,
                            const abi::ObjectHandle* handle, abi::CK_ATTRIBUTE** attributes, uint32_t* count,
                            uint32_t* objectClass, uint8_t* isPrivate);

// Slot 13.
abi::CK_RV getAttributeValue(const abi::HostContext& host, const abi::LoginRecord* login,
                             const abi::HostByteVector* settings, const abi::ObjectHandle* handle,
                             abi::CK_ATTRIBUTE* tmpl, uint32_t count);

// Slot 65.
abi::CK_RV getDefaultAttributes(abi::CK_ATTRIBUTE** attributes, uint32_t* count, uint32_t classNumber);

// Slot 66.
abi::CK_RV getChangeCounter(const abi::HostContext& host, uint32_t* counter);

// Slot 17.
abi::CK_RV getObjectSize(const abi::ObjectHandle* handle, uint32_t* size);

// Slot 70.
abi::CK_RV releaseSessionObjects(abi::HostContext* host, const abi::HostHandleList* handles);

}  // namespace korva::objects
