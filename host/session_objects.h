// Session objects that the library itself keeps: data objects, certificates
// and public keys whose CKA_TOKEN is false. The card never sees them; they
// live until their session ends (C_CloseSession, C_CloseAllSessions,
// C_Finalize), may be made in a read-only session, and are found, read and
// changed by the same rules as the card's objects. (Secret keys that are no
// token objects stay with the module, which keeps them in its own table.)
#pragma once

#include "host/attributes.h"
#include "host/pkcs11_api.h"

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace korva::host {

struct LibraryObject {
    ck_session_handle_t owner = 0;
    unsigned long objectClass = 0;
    bool isPrivate = false;
    ModuleTemplate attributes;  // the values in the module's layout, as the card's objects come

    AttributeView view() { return {attributes.data(), attributes.size()}; }
    // Applies a change the standard allows: none to an object that is not
    // modifiable, nor to its class, CKA_TOKEN or CKA_PRIVATE.
    ck_rv_t change(const ModuleTemplate& changes);
};

// One token's library-held objects; used under the token's lock.
class SessionObjectStore final {
public:
    // Whether a template for a new object asks for one kept here.
    static bool keepsHere(const ModuleTemplate& given);

    // Completes the template with the class's defaults and keeps it; returns
    // the object's serial number (never 0), or the standard's code.
    ck_rv_t add(ck_session_handle_t owner, ModuleTemplate given, uint32_t& serial);
    LibraryObject* find(uint32_t serial);
    void remove(uint32_t serial) { objects_.erase(serial); }
    // Forgets the objects of a session and returns their serial numbers.
    std::vector<uint32_t> takeObjectsOf(ck_session_handle_t owner);
    std::map<uint32_t, LibraryObject>& all() { return objects_; }

    // Session keys the card keeps (it keeps every secret key but triple DES,
    // and makes every key pair) belong to the session that made them.
    void ownCardObject(const abi::ObjectHandle& handle, ck_session_handle_t owner);
    void forgetCardObject(const abi::ObjectHandle& handle);
    // The card objects of a session, or of every session, to destroy.
    std::vector<abi::ObjectHandle> takeCardObjectsOf(std::optional<ck_session_handle_t> owner);
    std::vector<abi::ObjectHandle> cardObjects() const;

private:
    std::map<uint32_t, LibraryObject> objects_;
    std::vector<std::pair<abi::ObjectHandle, ck_session_handle_t>> cardObjects_;
    uint32_t lastSerial_ = 0;
};

}  // namespace korva::host
