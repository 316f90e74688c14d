// The library's state between C_Initialize and C_Finalize: the module, the
// slots with their tokens, the open sessions.
//
// Locking: the library's own mutex guards the session table only and is
// never held while a token's lock is taken; a token's lock may be held while
// the session table is consulted.
#pragma once

#include "host/lock.h"
#include "host/pkcs11_api.h"
#include "host/session.h"
#include "host/token.h"

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <memory>
#include <vector>

namespace korva::host {

class Library final {
public:
    // C_Initialize and C_Finalize.
    static ck_rv_t initialize(void* arguments);
    static ck_rv_t finalize(void* reserved);
    // The library of this process, or null when it is not initialised (also
    // in a child process forked after C_Initialize, until it initialises).
    static std::shared_ptr<Library> current();

    Library(const abi::ModuleFunctionTable& module, const LockFunctions& locks);
    ~Library();

    const std::vector<std::unique_ptr<Token>>& tokens() const { return tokens_; }
    Token* token(ck_slot_id_t id) const;

    std::shared_ptr<Session> openSession(Token& token, ck_flags_t flags);
    std::shared_ptr<Session> session(ck_session_handle_t handle);
    // Removes sessions from the table; the caller ends them under their token's lock.
    std::shared_ptr<Session> takeSession(ck_session_handle_t handle);
    std::vector<std::shared_ptr<Session>> takeSessions(const Token& token);
    // Counts of the token's open sessions.
    size_t sessionCount(const Token& token, bool readWriteOnly);

    // Called under the token's lock at the start of a call: a card other
    // than the one the token's sessions and login belong to ends them; a
    // missing or foreign card gives the call's code (CKR_TOKEN_NOT_PRESENT,
    // or CKR_DEVICE_REMOVED for a call on a session, CKR_TOKEN_NOT_RECOGNIZED).
    ck_rv_t admitCall(Token& token, const TokenCall& call, bool onSession);
    // Ends the call (TokenCall::end); the card taken away during it ends the
    // token's sessions at once.
    ck_rv_t finishCall(Token& token, TokenCall& call, ck_rv_t rv);
    // Ends every session of the token and forgets its login.
    void endSessionsOf(Token& token);

    // C_WaitForSlotEvent: a slot whose card changed since the application
    // was last told, waiting for one when `block`; C_Finalize ends the wait.
    ck_rv_t waitForSlotEvent(bool block, ck_slot_id_t& slot);
    void stopWaiting();

private:
    Token* changedSlot();

    const abi::ModuleFunctionTable& module_;
    LockFunctions locks_;
    std::vector<std::unique_ptr<Token>> tokens_;
    Mutex mutex_;
    std::map<ck_session_handle_t, std::shared_ptr<Session>> sessions_;
    ck_session_handle_t nextHandle_ = 1;
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;
    std::condition_variable stopped_;
};

// Ends a session taken from the table: releases its session objects and,
// when it was the token's last session, logs the token out. Call under the
// token's lock.
void endSession(Library& library, Session& session);

}  // namespace korva::host
