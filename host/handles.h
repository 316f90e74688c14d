// Object handles as applications hold them: numbers the library hands out,
// each naming one object until the library learns that the object is gone
// (destroyed, released with its session, hidden at logout, wiped by token
// initialisation). The module's own handle names a directory record, which
// the next object made there takes over; a number handed out here is never
// given to a second object, and numbers are unique over all slots, so that
// a handle of one slot names nothing in another.
//
// Other processes change the card too: a handle of a card object is checked
// again once they may have destroyed or replaced its object
// (host/object_identity.h).
#pragma once

#include "host/pkcs11_api.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace korva::host {

// A digest of what names a card object (host/object_identity.h).
using ObjectIdentity = std::array<uint8_t, 32>;

// What the library knows of an object an application holds a handle to.
struct ObjectEntry {
    abi::ObjectHandle module{};  // the module's handle: a directory record, or i FF FF
    unsigned long objectClass = 0;
    bool isPrivate = false;
    bool tokenObject = true;     // false for objects that live for one session
    uint32_t librarySerial = 0;  // an object the library keeps itself (host/session_objects.h), else 0
    // Of an object in a directory record: what named it when the handle was
    // given (nothing when it could not be read), and whether another process
    // may have replaced it since.
    std::optional<ObjectIdentity> identity{};
    // Of a private key: the identity of the public half the card pairs it
    // with, when there was one to see.
    std::optional<ObjectIdentity> pairedWith{};
    bool recheck = false;

    bool sameObject(const ObjectEntry& other) const;
    // Whether what names the object is what names `other`: the same identity,
    // and the same public half where both saw one (a pair's public half may
    // be destroyed while its private key stays).
    bool namedAs(const std::optional<ObjectIdentity>& otherIdentity,
                 const std::optional<ObjectIdentity>& otherPairedWith) const;
    // An object in a directory record, which other processes may destroy.
    bool onCard() const;
};

// One token's handles; used under the token's lock.
class HandleTable final {
public:
    // The handle the application has for this object, or a new one: a new
    // one when the record now holds another object than the handle named.
    ck_object_handle_t handleFor(const ObjectEntry& entry);
    const ObjectEntry* find(ck_object_handle_t handle) const;
    void forget(ck_object_handle_t handle);
    // Forgets the handle of the module's object, whatever its number.
    void forgetObject(const abi::ObjectHandle& module);
    void forgetLibraryObject(uint32_t serial);
    // Private objects leave the application's view at logout.
    void forgetPrivate();
    void clear() { entries_.clear(); }

    // What tells whether other processes changed the card's objects
    // (host/object_identity.h). At the start of each call that takes the
    // card: the reader's word on whether anyone else had it since our
    // previous call (nothing: it cannot tell). Then, once the library knows
    // which card the call found, that card.
    void noteUsedElsewhere(std::optional<bool> usedElsewhere);
    void noteCard(uint64_t card);
    // A command this process sends the card: one that may write moves the
    // change counter by our own hand.
    void noteCommand(std::span<const uint8_t> command);
    // Whether the change counter is to be read before handles are trusted.
    bool counterToRead() const { return othersMayHaveChanged_ || ownChanges_ || !counter_; }
    bool wroteWithHandlesOut() const;
    // The change counter as read now. Unless only this process can have
    // moved it since it was last read, a counter that moved (or that was or
    // is unknown) marks every card object's handle to be checked again.
    void noteCounter(std::optional<uint32_t> counter);
    // A token object as read again: a handle to be checked that names its
    // record is good again when the identity is its own, else forgotten.
    void noteSeen(const abi::ObjectHandle& module, const ObjectIdentity& identity,
                  const std::optional<ObjectIdentity>& pairedWith);
    void setIdentity(ck_object_handle_t handle, std::optional<ObjectIdentity> identity);

private:
    std::map<ck_object_handle_t, ObjectEntry> entries_;
    // The counter under which every handle not marked to be checked again
    // was known true; whether another process may have had the card since,
    // and whether this process changed the card since.
    std::optional<uint32_t> counter_;
    bool othersMayHaveChanged_ = true;
    bool ownChanges_ = false;
    uint64_t card_ = 0;
};

}  // namespace korva::host
