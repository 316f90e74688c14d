// What the library learned about a token's objects, kept while the card's
// object-set change counter stands still.
//
// A search walks the token object by object, some six card exchanges each;
// the card's counters file holds a 16-bit counter that every writer of the
// object store advances, readable in three. So a walk's findings (handles,
// classes, attributes) are kept under the counter they were read with, and
// a later call that finds the counter unchanged answers from them.
//
// What is never kept: the values that must not leave the token (a secret
// key's value, a private key's components), and the attributes of private
// objects unless the walk ran with the user logged in; those go at logout.
// Everything goes when the counter moved or cannot be read, when another
// card (or the same card after a reset) is in the reader, and when this
// process sends the card a command that may change what it stores: our own
// writes are seen here, at the transport, whatever call makes them.
//
// The cache knows objects by what the module reports (directory and
// record); the library maps them to its own handles.
#pragma once

#include "common/wiped_bytes.h"
#include "host/attributes.h"
#include "host/pkcs11_api.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korva::host {

// One token object as a walk reported it, without its secret parts.
class CachedObject final {
public:
    CachedObject(const abi::ObjectHandle& handle, uint32_t objectClass, bool isPrivate,
                 const AttributeView& attributes);
    CachedObject(const CachedObject&) = delete;
    CachedObject& operator=(const CachedObject&) = delete;

    const abi::ObjectHandle& handle() const { return handle_; }
    uint32_t objectClass() const { return objectClass_; }
    bool isPrivate() const { return isPrivate_; }
    AttributeView attributes() const { return {items_.data(), static_cast<abi::CK_ULONG>(items_.size())}; }
    // Whether the cache can answer every type of the template: a type it
    // left out as secret, or one the object lacks, is asked of the card,
    // unless the object's class says the lack is the card's answer too.
    bool answersAll(const ck_attribute* attributes, unsigned long count) const;

private:
    abi::ObjectHandle handle_;
    uint32_t objectClass_;
    bool isPrivate_;
    std::vector<WipedBytes> values_;
    std::vector<abi::CK_ATTRIBUTE> items_;  // pointing into values_
};

// The values that must not leave the token.
bool isSecretPart(unsigned long objectClass, ck_attribute_type_t type);

class ObjectCache final {
public:
    // Reads the card's change counter; nothing when it cannot.
    using CounterReader = std::function<std::optional<uint32_t>()>;

    // KORVA_PKCS11_OBJECT_CACHE=0 turns the cache off (to compare, to rule it out).
    ObjectCache();

    // Once per library call, before anything cached is used. `card` changes
    // whenever the reader holds another card, or the same one re-inserted
    // or reset; `usedElsewhere` is the reader's word on whether anyone else
    // had the card since our previous call (nothing: it cannot tell).
    // Returns whether anything current is cached. The counter is read only
    // when something is cached and someone else may have had the card, or
    // to key what a walk left unkeyed.
    bool revalidate(uint64_t card, std::optional<bool> usedElsewhere, const CounterReader& readCounter);

    // Whether a search starting at `directory` (0: every directory) can be
    // answered from the cache, for the user logged in or not.
    bool covers(uint16_t directory, bool userLoggedIn) const;
    // The cached objects in the order a walk from `directory` returns them.
    void forEachFrom(uint16_t directory, const std::function<void(const CachedObject&)>& visit) const;
    // The object, if cached and readable now.
    const CachedObject* find(const abi::ObjectHandle& handle, bool userLoggedIn) const;

    // A walk from `directory` in this call: its objects replace what was
    // cached of the directories it covered once it is finished. A failed
    // walk is simply not finished. When the reader can tell whether others
    // use the card (`readerTells`), the counter is not read now: the next
    // call reads it if nobody else had the card meanwhile, and drops the
    // walk's findings otherwise. So a first search costs what the walk
    // costs.
    void startWalk(uint16_t directory, bool userLoggedIn);
    void noteWalked(const abi::ObjectHandle& handle, uint32_t objectClass, bool isPrivate,
                    const AttributeView& attributes);
    void finishWalk(uint64_t card, bool readerTells, const CounterReader& readCounter);

    // A command this process sends the card: anything that may write drops the cache.
    void noteCommand(std::span<const uint8_t> command);
    // Logout: private objects are no longer readable.
    void forgetPrivate();
    void clear();

    bool enabled() const { return enabled_; }
    // Nothing cached and no counter known.
    bool empty() const { return !counter_ && !unkeyed_; }
    // Whether the cache can hold the token object (a walk's directory and a record).
    static bool holdsHandle(const abi::ObjectHandle& handle) { return keyOf(handle).has_value(); }

    // Sharing with other processes (host/object_cache_file.h). The serial
    // number the token reported for `card`, kept until another card shows.
    void noteSerial(uint64_t card, std::optional<std::string> serial);
    std::optional<std::string> serialOf(uint64_t card) const;
    // The counter of a walk over every directory without the user, once
    // keyed and not yet handed out: what another process may reuse.
    std::optional<uint32_t> takeUnsaved();
    // Ends an adoption (startWalk(0, false), then noteWalked for each object
    // another process kept under `keptCounter`): taken when the counter just
    // read from the card is the same. Otherwise dropped, and the cache keyed
    // on `counterNow`, so the walk that follows needs no second read.
    void finishAdopting(uint64_t card, uint32_t keptCounter, uint32_t counterNow);

private:
    using Key = uint16_t;  // walk position of the directory, then the record
    static std::optional<Key> keyOf(const abi::ObjectHandle& handle);

    bool enabled_ = true;
    std::optional<uint32_t> counter_;
    bool unkeyed_ = false;  // cached objects whose counter is still to be read
    uint64_t card_ = 0;
    // Walks cover a directory and every one after it: the walk position of
    // the first directory covered, for anyone and with the user's objects.
    size_t coveredFrom_;
    size_t userCoveredFrom_;
    std::map<Key, CachedObject> objects_;

    bool unsaved_ = false;  // objects_ hold a walk another process may reuse
    uint64_t serialCard_ = 0;
    std::optional<std::string> serial_;

    bool walking_ = false;
    size_t walkFrom_ = 0;
    bool walkWithUser_ = false;
    std::map<Key, CachedObject> walked_;
};

}  // namespace korva::host
