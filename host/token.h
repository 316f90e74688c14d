// One slot of the library: a reader, the token in it and what the host keeps
// for that token on the module's behalf (the transport, the settings vector,
// the session-object table behind the cookie, the login state with the PIN).
//
// Every call that reaches the token holds a TokenCall: one lock per token
// serialises the module's card traffic, as the module requires.
#pragma once

#include "common/wiped_bytes.h"
#include "host/handles.h"
#include "host/lock.h"
#include "host/object_cache.h"
#include "host/pin_history.h"
#include "host/pkcs11_api.h"
#include "host/readers/reader.h"
#include "host/session_key_journal.h"
#include "host/session_objects.h"

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korva::host {

// A LoginRecord made for one module call; wiped when it goes.
class LoginRecordCopy final {
public:
    LoginRecordCopy();
    ~LoginRecordCopy();
    LoginRecordCopy(const LoginRecordCopy&) = delete;
    LoginRecordCopy& operator=(const LoginRecordCopy&) = delete;

    abi::LoginRecord* get() { return &record_; }

private:
    abi::LoginRecord record_;
};

class Token final {
public:
    Token(ck_slot_id_t id, std::unique_ptr<Reader> reader, const abi::ModuleFunctionTable& module,
          const LockFunctions& locks);
    ~Token();
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    ck_slot_id_t id() const { return id_; }
    Reader& reader() { return *reader_; }
    const abi::ModuleFunctionTable& module() const { return module_; }
    Mutex& mutex() { return mutex_; }

    abi::HostContext context() const { return context_; }
    abi::HostContext* contextPointer() { return &context_; }
    const abi::HostByteVector* settings() const { return &settingsVector_; }
    // Reads the token's 17 settings bytes again (zeros when it has none).
    void refreshSettings();

    // The application's object handles on this token.
    HandleTable& handles() { return handles_; }
    PinHistory& pinHistory() { return pinHistory_; }
    SessionObjectStore& libraryObjects() { return libraryObjects_; }
    // Destroys session keys the card keeps, while the PIN that may write the
    // card is still known (a session's end, logout), and forgets their handles.
    // False when one could not be destroyed.
    bool destroyCardObjects(std::span<const abi::ObjectHandle> handles);
    // Writes the crash journal of the session keys the card keeps for us:
    // `pending` before the card is asked to make one (false then stops it).
    bool journalCardObjects(bool pending);
    SessionKeyJournal& journal() { return journal_; }

    // Login state, shared by every session of the token. Logging out hides
    // private objects: their handles are forgotten.
    std::optional<unsigned long> user() const { return user_; }
    void logIn(unsigned long userType, std::span<const uint8_t> pin);
    void changePin(std::span<const uint8_t> pin);
    void logOut();
    // The record that presents the logged-in user's PIN, or no login.
    void fillLogin(LoginRecordCopy& record) const;

    // What the library keeps of the token's objects between calls.
    ObjectCache& objectCache() { return objectCache_; }
    // The object-set change counter as read in the current call, kept until
    // this process writes to the card: within a call nobody else moves it.
    std::optional<uint32_t> counterOfCall() const { return counterOfCall_; }
    void noteCounterOfCall(uint32_t counter) { counterOfCall_ = counter; }
    void forgetCounterOfCall() { counterOfCall_.reset(); }
    // A command this process sends the card, for what keeps track of its content.
    void noteCommand(std::span<const uint8_t> command);
    // At the start of every call that takes the card, the reader's word on
    // whether anyone else had it since our previous call (which that call
    // answers for the call after it only, whatever the call was).
    void noteUsedElsewhere(std::optional<bool> used);
    // For the object cache: whether anyone else may have had the card since
    // the cache last asked (false only when the reader said so each time).
    std::optional<bool> takeUsedElsewhereForCache();
    // The card the token's sessions and login belong to. The library notes
    // it while the token has neither (and so at the first session and at
    // login); a call that finds another card in the reader ends the sessions
    // and wipes the PIN, so that a swapped card is never sent the old one's.
    const CardState& notedCard() const { return notedCard_; }
    void noteCard(const CardState& card) { notedCard_ = card; }

    // Changes whenever another card, or the same card re-inserted or reset,
    // may be in the reader: counts the card events the library has seen in
    // this slot (a card inserted, taken away, reset by another application).
    uint64_t cardIdentity() const { return cardChanges_; }
    void noteSeen(const CardState& card);

    // The card C_WaitForSlotEvent last told the application of.
    const CardState& reportedCard() const { return reportedCard_; }
    void noteReported(const CardState& card) { reportedCard_ = card; }

    // What went wrong in the transport during the current call (ok if nothing).
    ReaderStatus transportTrouble() const { return transportTrouble_; }
    void noteTransportTrouble(ReaderStatus status) {
        if (transportTrouble_ == ReaderStatus::ok) transportTrouble_ = status;
    }
    void clearTransportTrouble() { transportTrouble_ = ReaderStatus::ok; }

    // Session objects (handles i FF FF) live and die with the session that
    // made them: the token notes the owner of each index.
    void ownSessionObject(uint8_t index, ck_session_handle_t session) { sessionObjectOwners_[index] = session; }
    void forgetSessionObject(uint8_t index) { sessionObjectOwners_.erase(index); }
    std::vector<uint8_t> takeSessionObjectsOf(ck_session_handle_t session);
    // Releases the named session objects through the module and forgets their handles.
    void releaseSessionObjects(std::span<const uint8_t> indices);

private:
    void releaseSessionTable();

    ck_slot_id_t id_;
    std::unique_ptr<Reader> reader_;
    const abi::ModuleFunctionTable& module_;
    Mutex mutex_;
    abi::HostContext context_{};
    std::array<uint8_t, KORVA_TOKEN_SETTINGS_SIZE> settings_{};
    abi::HostByteVector settingsVector_{};
    std::optional<unsigned long> user_;
    WipedBytes pin_;
    std::map<uint8_t, ck_session_handle_t> sessionObjectOwners_;
    ObjectCache objectCache_;
    std::optional<uint32_t> counterOfCall_;
    bool usedElsewhereForCache_ = true;
    CardState notedCard_;
    CardState seenCard_;
    CardState reportedCard_;
    uint64_t cardChanges_ = 0;
    ReaderStatus transportTrouble_ = ReaderStatus::ok;
    HandleTable handles_;
    PinHistory pinHistory_;
    SessionObjectStore libraryObjects_;
    SessionKeyJournal journal_;
    std::string journalSerial_;
    std::optional<uint64_t> journalSerialFor_;  // the card identity it was read for
};

// Holds a token for one library call: its lock, and the reader's call
// bracket (which brings in other processes' changes, takes a shared card for
// the whole call and saves this call's changes).
class TokenCall final {
public:
    explicit TokenCall(Token& token);
    // Only the token's lock, for a call that needs nothing of the card: the
    // card stays free for other processes (no file lock, no transaction),
    // and the call answers from what the library holds.
    struct WithoutCard {};
    TokenCall(Token& token, WithoutCard);
    ~TokenCall();
    TokenCall(const TokenCall&) = delete;
    TokenCall& operator=(const TokenCall&) = delete;

    // How the reader began the call, and the card it found.
    ReaderStatus begun() const { return begun_; }
    const CardState& card() const { return card_; }
    // Ends the call and gives its return value: the card taken away during
    // the call makes it CKR_DEVICE_REMOVED; a change the card made that
    // could not be kept turns a success into CKR_DEVICE_ERROR.
    ck_rv_t end(ck_rv_t rv);

private:
    Token& token_;
    ReaderStatus begun_ = ReaderStatus::failed;
    CardState card_;
    bool ended_ = false;
};

}  // namespace korva::host
