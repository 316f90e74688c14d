// One slot of the library: a reader, the token in it and what the host keeps
// for that token on the module's behalf (the transport, the settings vector,
// the session-object table behind the cookie, the login state with the PIN).
//
// Every call that reaches the token holds a TokenCall: one lock per token
// serialises the module's card traffic, as the module requires.
#pragma once

#include "common/wiped_bytes.h"
#include "host/lock.h"
#include "host/object_cache.h"
#include "host/pkcs11_api.h"
#include "host/reader.h"

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <span>
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

    // Login state, shared by every session of the token.
    std::optional<unsigned long> user() const { return user_; }
    void logIn(unsigned long userType, std::span<const uint8_t> pin);
    void changePin(std::span<const uint8_t> pin);
    void logOut();
    // The record that presents the logged-in user's PIN, or no login.
    void fillLogin(LoginRecordCopy& record) const;

    // What the library keeps of the token's objects between calls.
    ObjectCache& objectCache() { return objectCache_; }
    // Changes whenever another card, or the same card re-inserted or reset,
    // may be in the reader. The built-in reader holds one card file, and a
    // card it cannot read drops the cache (TokenCall); readers that report
    // insertions and resets give their count here.
    uint64_t cardIdentity() const { return 0; }

    // Session objects (handles i FF FF) live and die with the session that
    // made them: the token notes the owner of each index.
    void ownSessionObject(uint8_t index, ck_session_handle_t session) { sessionObjectOwners_[index] = session; }
    void forgetSessionObject(uint8_t index) { sessionObjectOwners_.erase(index); }
    std::vector<uint8_t> takeSessionObjectsOf(ck_session_handle_t session);
    // Releases the named session objects through the module.
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
};

// Holds a token for one library call: its lock, and the reader's call
// bracket (which brings in other processes' changes and saves this call's).
class TokenCall final {
public:
    explicit TokenCall(Token& token);
    ~TokenCall();
    TokenCall(const TokenCall&) = delete;
    TokenCall& operator=(const TokenCall&) = delete;

private:
    Token& token_;
};

}  // namespace korva::host
