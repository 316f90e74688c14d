// What tells a card object from one another process may have made in its
// place. The card gives objects no identity of their own: the module's handle
// names a directory record, and once another process destroyed the object
// there and made a new one in the same record, only the content tells them
// apart. So the handle of a card object keeps a digest of what names the
// object (host/attribute_types.h): its class and what is fixed when it is
// made and tells its content (a key's type and public material, a
// certificate's type and value, a data object's application, object
// identifier and value), never a secret value. Two objects whose fixed
// content is the same cannot be told apart by any application: signing with
// either signs with the same key. What an application may change (label,
// identifier, usage flags) stays out, so another process renaming an object
// leaves the handles to it good.
//
// A private key's record often shows nothing of its key (a GOST private key
// never shows its public value): two pairs made one after the other in the
// same records differ only in their public halves. So a private key's handle
// also keeps the identity of the public key the card pairs it with, the one
// with the same card key reference, or else the same CKA_ID.
//
// The card's object-set change counter moves with every creation, change and
// destruction, by anyone. The handles are checked again only when it moved
// while another process may have had the card; nothing is read while the
// reader can tell that nobody else had it.
#pragma once

#include "host/attributes.h"
#include "host/handles.h"
#include "host/pkcs11_api.h"

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace korva::host {

class Token;

// The digest of what names an object, from its attributes as the module
// reports them (a walk, the object cache, a read of the object).
ObjectIdentity identityOf(unsigned long objectClass, const AttributeView& attributes);

// Of a card object this process has just made or changed, in the same call:
// the entry's identity (nothing when the card did not answer) and, for a
// private key, its public half's when `publicHalf` (made with it) is that.
void readIdentity(Token& token, ObjectEntry& entry, const abi::ObjectHandle* publicHalf = nullptr);

// The identities of the objects one search meets, each private key's public
// half among them once the search is over.
class PairedIdentities final {
public:
    // The object's identity; `index` names it to publicHalf().
    ObjectIdentity meet(unsigned long objectClass, const AttributeView& attributes, size_t& index);
    std::optional<ObjectIdentity> publicHalf(size_t index) const;

private:
    using PairKey = std::pair<bool, std::vector<uint8_t>>;  // by key reference, the bytes
    std::vector<std::optional<PairKey>> met_;
    std::map<PairKey, std::optional<ObjectIdentity>> publicKeys_;  // nothing when two share one
};

// Before handles are used or given out, and before this process makes an
// object: reads the change counter when others may have changed the card's
// objects (or this process did) since it was last read, and marks every card
// object's handle to be checked again when it cannot tell who moved it.
void noticeChangesElsewhere(Token& token);
// At the end of a call that changed the card, while it is still ours: the
// counter as this process's changes left it.
void noteOwnChanges(Token& token);

// Whether the handle still names the object it was given for: CKR_OK;
// `missing` when not (the handle is forgotten); else the code of what kept
// the library from telling (the handle stays, to be checked again).
ck_rv_t confirmHandle(Token& token, ck_object_handle_t handle, ck_rv_t missing);

}  // namespace korva::host
