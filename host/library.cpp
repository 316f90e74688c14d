#include "host/library.h"

#include "host/config.h"
#include "host/module_loader.h"
#include "host/object_identity.h"
#include "host/trace.h"
#include "host/readers/pcsc_reader.h"
#include "host/readers/virtual_card_reader.h"

#include <unistd.h>

#include <mutex>

namespace korva::host {
namespace {

struct Current {
    std::mutex mutex;
    std::shared_ptr<Library> library;
    pid_t pid = 0;
};

Current& state() {
    static Current* current = new Current;  // never destroyed: calls may come during exit
    return *current;
}

ck_rv_t readArguments(void* arguments, LockFunctions& locks) {
    if (arguments == nullptr) return CKR_OK;
    const auto& given = *static_cast<const ck_c_initialize_args*>(arguments);
    if (given.reserved != nullptr) return CKR_ARGUMENTS_BAD;
    const int functions = (given.create_mutex != nullptr) + (given.destroy_mutex != nullptr) +
                          (given.lock_mutex != nullptr) + (given.unlock_mutex != nullptr);
    if (functions != 0 && functions != 4) return CKR_ARGUMENTS_BAD;
    // With CKF_OS_LOCKING_OK the operating system's mutexes serve, whether or
    // not functions were given; functions alone must be used.
    if (functions == 4 && (given.flags & CKF_OS_LOCKING_OK) == 0)
        locks = {given.create_mutex, given.destroy_mutex, given.lock_mutex, given.unlock_mutex};
    return CKR_OK;
}

}  // namespace

ck_rv_t Library::initialize(void* arguments) {
    LockFunctions locks;
    if (const ck_rv_t rv = readArguments(arguments, locks); rv != CKR_OK) return rv;
    Current& current = state();
    std::lock_guard lock(current.mutex);
    if (current.library != nullptr && current.pid == getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (current.library != nullptr) {
        // A child of a process that had initialised the library: the parent's
        // state (its locks perhaps held by threads that do not exist here) is
        // left alone, never used and never destroyed.
        new std::shared_ptr<Library>(std::move(current.library));
    }
    const abi::ModuleFunctionTable* module = loadModule();
    if (module == nullptr) return CKR_GENERAL_ERROR;
    try {
        current.library = std::make_shared<Library>(*module, locks);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_CANT_LOCK;
    }
    current.pid = getpid();
    return CKR_OK;
}

ck_rv_t Library::finalize(void* reserved) {
    if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
    std::shared_ptr<Library> library;
    {
        Current& current = state();
        std::lock_guard lock(current.mutex);
        if (current.library == nullptr || current.pid != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        library = std::move(current.library);
    }
    library->stopWaiting();
    for (const auto& token : library->tokens()) {
        TokenCall call(*token);
        library->endSessionsOf(*token);
    }
    return CKR_OK;
}

std::shared_ptr<Library> Library::current() {
    Current& current = state();
    std::lock_guard lock(current.mutex);
    if (current.pid != getpid()) return nullptr;
    return current.library;
}

// Slots 0, 1, ... are the card files, then come the PC/SC readers; slot
// numbers stay what they were at C_Initialize for the library's lifetime.
std::vector<std::unique_ptr<Reader>> configuredReaders() {
    std::vector<std::unique_ptr<Reader>> readers;
    const ReaderKinds kinds = configuredReaderKinds();
    if (kinds.virtualCards) {
        for (const auto& file : configuredCardFiles()) readers.push_back(std::make_unique<VirtualCardReader>(file));
    }
    if (kinds.pcsc) {
        std::string note;
        for (auto& reader : openPcscReaders(note)) readers.push_back(std::move(reader));
        trace::line(1, note);
    }
    return readers;
}

Library::Library(const abi::ModuleFunctionTable& module, const LockFunctions& locks)
    : module_(module), locks_(locks), mutex_(locks) {
    ck_slot_id_t id = 0;
    for (auto& reader : configuredReaders()) {
        tokens_.push_back(std::make_unique<Token>(id++, std::move(reader), module_, locks_));
    }
    for (const auto& token : tokens_) {
        TokenCall call(*token);
        token->noteReported(call.card());
        if (call.begun() == ReaderStatus::ok && call.card().recognised) token->refreshSettings();
    }
}

Library::~Library() = default;

Token* Library::token(ck_slot_id_t id) const { return id < tokens_.size() ? tokens_[id].get() : nullptr; }

std::shared_ptr<Session> Library::openSession(Token& token, ck_flags_t flags) {
    std::lock_guard lock(mutex_);
    auto session = std::make_shared<Session>(nextHandle_++, token, flags);
    sessions_.emplace(session->handle, session);
    return session;
}

std::shared_ptr<Session> Library::session(ck_session_handle_t handle) {
    std::lock_guard lock(mutex_);
    const auto found = sessions_.find(handle);
    return found == sessions_.end() ? nullptr : found->second;
}

std::shared_ptr<Session> Library::takeSession(ck_session_handle_t handle) {
    std::lock_guard lock(mutex_);
    const auto found = sessions_.find(handle);
    if (found == sessions_.end()) return nullptr;
    std::shared_ptr<Session> session = std::move(found->second);
    sessions_.erase(found);
    return session;
}

std::vector<std::shared_ptr<Session>> Library::takeSessions(const Token& token) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Session>> taken;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (&it->second->token == &token) {
            taken.push_back(std::move(it->second));
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

size_t Library::sessionCount(const Token& token, bool readWriteOnly) {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& [handle, session] : sessions_)
        if (&session->token == &token && (!readWriteOnly || session->readWrite())) ++count;
    return count;
}

// A slot whose card is not what the application was last told of: taken
// out, put in, another card.
Token* Library::changedSlot() {
    for (const auto& token : tokens_) {
        CardState card;
        {
            std::lock_guard hold(token->mutex());
            card = token->reader().cardState();
        }
        if (!card.sameCardAs(token->reportedCard())) {
            token->noteReported(card);
            return token.get();
        }
    }
    return nullptr;
}

ck_rv_t Library::waitForSlotEvent(bool block, ck_slot_id_t& slot) {
    constexpr std::chrono::seconds kLookAgain{1};
    for (;;) {
        if (stopping_) return CKR_CRYPTOKI_NOT_INITIALIZED;
        if (Token* token = changedSlot()) {
            slot = token->id();
            return CKR_OK;
        }
        if (!block) return CKR_NO_EVENT;
        // PC/SC readers wake the wait on a card event; card files have none,
        // and with no PC/SC reader only C_Finalize ends the wait.
        Reader* waiter = nullptr;
        for (const auto& token : tokens_) {
            if (token->reader().removable()) waiter = &token->reader();
        }
        if (waiter != nullptr) {
            waiter->waitForChange(kLookAgain);
        } else {
            std::unique_lock lock(stopMutex_);
            stopped_.wait_for(lock, kLookAgain, [&] { return stopping_.load(); });
        }
    }
}

void Library::stopWaiting() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    for (const auto& token : tokens_) token->reader().cancelWait();
}

void Library::endSessionsOf(Token& token) {
    for (const auto& session : takeSessions(token)) endSession(*this, *session);
    token.logOut();
}

ck_rv_t Library::admitCall(Token& token, const TokenCall& call, bool onSession) {
    const CardState& card = call.card();
    token.noteSeen(card);
    token.handles().noteCard(token.cardIdentity());
    const bool busy = token.user().has_value() || sessionCount(token, false) != 0;
    const bool changed = busy && !card.sameCardAs(token.notedCard());
    if (changed) endSessionsOf(token);
    if (!busy || changed) token.noteCard(card);
    switch (call.begun()) {
        case ReaderStatus::ok:
        case ReaderStatus::reset: break;
        case ReaderStatus::noCard:
        case ReaderStatus::removed: return onSession ? CKR_DEVICE_REMOVED : CKR_TOKEN_NOT_PRESENT;
        // A reader that went away never comes back to this slot (it has left
        // the slot list): its sessions are gone with their device, and the
        // slot itself is no longer one, even to an application that listed
        // it before.
        case ReaderStatus::readerGone: return onSession ? CKR_DEVICE_REMOVED : CKR_SLOT_ID_INVALID;
        case ReaderStatus::failed: return CKR_DEVICE_ERROR;
    }
    if (!card.present) return onSession ? CKR_DEVICE_REMOVED : CKR_TOKEN_NOT_PRESENT;
    if (changed && onSession) return CKR_DEVICE_REMOVED;
    return card.recognised ? CKR_OK : CKR_TOKEN_NOT_RECOGNIZED;
}

ck_rv_t Library::finishCall(Token& token, TokenCall& call, ck_rv_t rv) {
    noteOwnChanges(token);
    rv = call.end(rv);
    if (rv == CKR_DEVICE_REMOVED) endSessionsOf(token);
    return rv;
}

void endSession(Library& library, Session& session) {
    if (session.closed) return;
    session.closed = true;
    session.token.releaseSessionObjects(session.token.takeSessionObjectsOf(session.handle));
    for (const uint32_t serial : session.token.libraryObjects().takeObjectsOf(session.handle))
        session.token.handles().forgetLibraryObject(serial);
    session.token.destroyCardObjects(session.token.libraryObjects().takeCardObjectsOf(session.handle));
    for (Operation* operation : {&session.digest, &session.sign, &session.verify, &session.encrypt, &session.decrypt})
        operation->finish();
    if (library.sessionCount(session.token, false) == 0 && session.token.user()) {
        session.token.logOut();
        session.token.module().resetSecurityState(session.token.context());
    }
}

void Operation::start(abi::CK_MECHANISM_TYPE type, const abi::ObjectHandle& keyHandle) {
    finish();
    active = true;
    mechanism = type;
    key = keyHandle;
}

bool Operation::lostItsUser(bool userLoggedIn) {
    if (!active || !needsUser || userLoggedIn) return false;
    finish();
    return true;
}

void Operation::finish() {
    active = false;
    updated = false;
    needsUser = false;
    sawData = false;
    mechanism = 0;
    key = {};
    record = {};
    hashAndSign = nullptr;
    pending.clear();
    pending.shrink_to_fit();
}

}  // namespace korva::host
