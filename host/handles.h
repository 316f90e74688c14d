// Object handles as applications hold them: numbers the library hands out,
// each naming one object until the library learns that the object is gone
// (destroyed, released with its session, hidden at logout, wiped by token
// initialisation). The module's own handle names a directory record, which
// the next object made there takes over; a number handed out here is never
// given to a second object, and numbers are unique over all slots, so that
// a handle of one slot names nothing in another.
#pragma once

#include "host/pkcs11_api.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace korva::host {

// What the library knows of an object an application holds a handle to.
struct ObjectEntry {
    abi::ObjectHandle module{};  // the module's handle: a directory record, or i FF FF
    unsigned long objectClass = 0;
    bool isPrivate = false;
    bool tokenObject = true;     // false for objects that live for one session
    uint32_t librarySerial = 0;  // an object the library keeps itself (host/session_objects.h), else 0

    bool sameObject(const ObjectEntry& other) const;
};

// One token's handles; used under the token's lock.
class HandleTable final {
public:
    // The handle the application has for this object, or a new one.
    ck_object_handle_t handleFor(const ObjectEntry& entry);
    const ObjectEntry* find(ck_object_handle_t handle) const;
    void forget(ck_object_handle_t handle);
    // Forgets the handle of the module's object, whatever its number.
    void forgetObject(const abi::ObjectHandle& module);
    void forgetLibraryObject(uint32_t serial);
    // Private objects leave the application's view at logout.
    void forgetPrivate();
    void clear() { entries_.clear(); }

private:
    std::map<ck_object_handle_t, ObjectEntry> entries_;
};

}  // namespace korva::host
