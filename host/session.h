// A PKCS#11 session: its token, its flags, the operations it has running and
// the search it has open.
#pragma once

#include "common/wiped_bytes.h"
#include "host/pkcs11_api.h"

#include <cstdint>
#include <vector>

namespace korva::host {

class Token;
struct HashAndSign;

// One running operation. The module keeps nothing between its
// initialisation slot and its operation slot: this record is what the host
// passes back. Data given through the Update calls is buffered where the
// module only works in one part, and handed over at Final.
struct Operation {
    bool active = false;
    bool updated = false;    // an Update call was made: the one-part call is no longer allowed
    bool needsUser = false;  // the key works only while the user is logged in
    bool sawData = false;    // a cipher was given data
    abi::CK_MECHANISM_TYPE mechanism = 0;
    abi::ObjectHandle key{};
    abi::OperationRecord record{};
    WipedBytes pending;
    const HashAndSign* hashAndSign = nullptr;  // the library hashes `pending` before the card signs

    void start(abi::CK_MECHANISM_TYPE type, const abi::ObjectHandle& keyHandle);
    void finish();
    // Ends the operation when the user its key needs has logged out.
    bool lostItsUser(bool userLoggedIn);
};

struct Session {
    Session(ck_session_handle_t handleValue, Token& tokenOfSession, ck_flags_t flagsValue)
        : handle(handleValue), token(tokenOfSession), flags(flagsValue) {}

    bool readWrite() const { return (flags & CKF_RW_SESSION) != 0; }

    const ck_session_handle_t handle;
    Token& token;
    const ck_flags_t flags;
    bool closed = false;  // set under the token lock when the session goes

    bool finding = false;
    std::vector<ck_object_handle_t> found;
    size_t foundNext = 0;

    Operation digest, sign, verify, encrypt, decrypt;
    bool signRecover = false;    // the sign operation is a sign-with-recovery
    bool verifyRecover = false;  // the verify operation is a verify-with-recovery
};

}  // namespace korva::host
