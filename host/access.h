// The one rule for what a session may do with an object, from the session's
// state (read-only or read-write; public, user or security officer) and the
// object's kind (kept on the card or for one session; private or public).
// Every object, key and cryptographic entry asks it before any card traffic.
#pragma once

#include "host/pkcs11_api.h"

namespace korva::host {

struct Session;

enum class Access {
    Read,        // see it, read its attributes, use a public key
    Write,       // create, change or destroy it
    PrivateUse,  // sign, decrypt, unwrap or derive with it: the card asks for the user's PIN
};

struct ObjectKind {
    bool tokenObject = true;
    bool isPrivate = false;
};

ck_state_t sessionState(const Session& session);

// CKR_OK, CKR_SESSION_READ_ONLY or CKR_USER_NOT_LOGGED_IN.
ck_rv_t access(const Session& session, Access access, ObjectKind kind);

}  // namespace korva::host
