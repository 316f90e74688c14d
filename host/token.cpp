#include "host/token.h"

#include "host/card_commands.h"
#include "host/trace.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace korva::host {
namespace {

// The module hands hostA and hostB back to the transport; a pointer does not
// fit a 32-bit word, so they carry a number in this registry and its
// complement as a check. The registry is never destroyed: an application may
// finalise the library from an exit handler that runs after this library's
// static objects are gone, and its tokens leave the registry then.
struct Registry {
    std::mutex mutex;
    std::map<uint32_t, Token*> tokens;
    uint32_t nextNumber = 1;
};

Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

Token* findToken(const abi::HostContext& host) {
    Registry& tokens = registry();
    std::lock_guard lock(tokens.mutex);
    if (host.hostB != ~host.hostA) return nullptr;
    const auto found = tokens.tokens.find(host.hostA);
    return found == tokens.tokens.end() ? nullptr : found->second;
}

uint32_t transportFailure(ReaderStatus status) {
    switch (status) {
        case ReaderStatus::ok: return 0;
        case ReaderStatus::noCard: return kNoCard;
        case ReaderStatus::removed: return kRemovedCard;
        case ReaderStatus::reset: return kResetCard;
        case ReaderStatus::readerGone: return kReaderGone;
        case ReaderStatus::failed: break;
    }
    return kTransportFailed;
}

// The module's flag 1 asks the transport to complete outstanding answers;
// with 0 it reads them itself.
extern "C" uint32_t korvaHostTransmit(abi::HostContext host, const uint8_t* command, uint32_t commandLength,
                                      uint8_t* response, uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2,
                                      uint32_t flag, uint32_t) {
    Token* token = findToken(host);
    if (token == nullptr || command == nullptr || responseLength == nullptr || sw1 == nullptr || sw2 == nullptr ||
        (response == nullptr && *responseLength != 0))
        return kNoCard;
    const std::span<const uint8_t> sent(command, commandLength);
    ReaderStatus status = ReaderStatus::failed;
    try {
        token->noteCommand(sent);
        status = token->reader().transmit(sent, response, responseLength, *sw1, *sw2,
                                          flag != 0 ? Outstanding::fetch : Outstanding::asAnswered);
    } catch (...) {
        // nothing may unwind through the module's frames
    }
    token->noteTransportTrouble(status);
    const uint32_t failure = transportFailure(status);
    const size_t answered = failure == 0 && response != nullptr ? *responseLength : 0;
    trace::apdu(token->id(), sent, std::span<const uint8_t>(response, answered), *sw1, *sw2, failure);
    return failure;
}

}  // namespace

LoginRecordCopy::LoginRecordCopy() {
    std::memset(&record_, 0, sizeof record_);
    record_.userType = 0xFF;  // nobody
}

LoginRecordCopy::~LoginRecordCopy() { OPENSSL_cleanse(&record_, sizeof record_); }

Token::Token(ck_slot_id_t id, std::unique_ptr<Reader> reader, const abi::ModuleFunctionTable& module,
             const LockFunctions& locks)
    : id_(id), reader_(std::move(reader)), module_(module), mutex_(locks) {
    {
        Registry& tokens = registry();
        std::lock_guard lock(tokens.mutex);
        context_.hostA = tokens.nextNumber++;
        context_.hostB = ~context_.hostA;
        tokens.tokens[context_.hostA] = this;
    }
    context_.transmit = &korvaHostTransmit;
    // The session-object table exists from the start, in the layout and
    // allocator the module uses for it. Slots that take the host values by
    // value (key generation, unwrapping, derivation) can then add session
    // objects to this table; left to create one, they would store its address
    // in a copy the host never sees.
    context_.cookie = std::calloc(1, sizeof(abi::HostSessionTable));
    if (context_.cookie == nullptr) throw std::bad_alloc();
    settingsVector_.begin = settings_.data();
    settingsVector_.end = settings_.data() + settings_.size();
    settingsVector_.storageEnd = settingsVector_.end;
}

Token::~Token() {
    releaseSessionTable();
    logOut();
    Registry& tokens = registry();
    std::lock_guard lock(tokens.mutex);
    tokens.tokens.erase(context_.hostA);
}

void Token::noteCommand(std::span<const uint8_t> command) {
    objectCache_.noteCommand(command);
    handles_.noteCommand(command);
    if (!leavesCardContentAlone(command)) forgetCounterOfCall();
}

void Token::noteUsedElsewhere(std::optional<bool> used) {
    handles_.noteUsedElsewhere(used);
    usedElsewhereForCache_ = usedElsewhereForCache_ || used != false;
}

std::optional<bool> Token::takeUsedElsewhereForCache() {
    const bool used = std::exchange(usedElsewhereForCache_, false);
    // Within the call that asks, nobody else has the card.
    return used ? std::optional<bool>(true) : std::optional<bool>(false);
}

void Token::refreshSettings() {
    abi::CK_ULONG length = static_cast<abi::CK_ULONG>(settings_.size());
    if (module_.readTokenSettings(context_, settings_.data(), &length) != CKR_OK || length != settings_.size())
        settings_.fill(0);
}

void Token::logIn(unsigned long userType, std::span<const uint8_t> pin) {
    user_ = userType;
    pin_.assign(pin.begin(), pin.end());
}

void Token::changePin(std::span<const uint8_t> pin) { pin_.assign(pin.begin(), pin.end()); }

void Token::logOut() {
    objectCache_.forgetPrivate();
    if (user_) handles_.forgetPrivate();
    user_.reset();
    pin_.clear();
    pin_.shrink_to_fit();  // the allocator wipes the freed block
}

bool Token::destroyCardObjects(std::span<const abi::ObjectHandle> handles) {
    if (handles.empty()) return true;
    LoginRecordCopy login;
    fillLogin(login);
    bool destroyed = true;
    for (const abi::ObjectHandle& handle : handles) {
        destroyed = module_.destroyObject(context_, login.get(), settings(), &handle) == CKR_OK && destroyed;
        handles_.forgetObject(handle);
    }
    // What is still on the card stays in the journal, for a later login.
    if (destroyed) journalCardObjects(false);
    return destroyed;
}

bool Token::journalCardObjects(bool pending) {
    if (pending || journalSerialFor_ != cardChanges_) {
        const auto serial = cardSerial(*this);
        if (!serial) return !pending;
        journalSerial_ = *serial;
        journalSerialFor_ = cardChanges_;
    }
    return journal_.write(journalSerial_, {libraryObjects_.cardObjects(), pending});
}

void Token::fillLogin(LoginRecordCopy& copy) const {
    abi::LoginRecord& record = *copy.get();
    if (!user_ || pin_.size() > sizeof record.pin) return;
    record.userType = *user_ == CKU_SO ? KORVA_USER_TYPE_SO : KORVA_USER_TYPE_USER;
    std::memcpy(record.pin, pin_.data(), pin_.size());
    record.pinLength = static_cast<uint32_t>(pin_.size());
}

void Token::noteSeen(const CardState& card) {
    if (!card.sameCardAs(seenCard_) || card.resets != seenCard_.resets) ++cardChanges_;
    seenCard_ = card;
}

std::vector<uint8_t> Token::takeSessionObjectsOf(ck_session_handle_t session) {
    std::vector<uint8_t> indices;
    for (auto it = sessionObjectOwners_.begin(); it != sessionObjectOwners_.end();) {
        if (it->second == session) {
            indices.push_back(it->first);
            it = sessionObjectOwners_.erase(it);
        } else {
            ++it;
        }
    }
    return indices;
}

void Token::releaseSessionObjects(std::span<const uint8_t> indices) {
    if (indices.empty() || context_.cookie == nullptr) return;
    // The module reads a list object of byte-vector handles, each 3 bytes.
    std::vector<std::array<uint8_t, 3>> handles;
    std::vector<abi::HostHandleBytes> elements(indices.size());
    handles.reserve(indices.size());
    for (size_t i = 0; i < indices.size(); ++i) {
        handles_.forgetObject({indices[i], 0xFF, 0xFF});
        handles.push_back({indices[i], 0xFF, 0xFF});
        elements[i].begin = handles.back().data();
        elements[i].end = handles.back().data() + 3;
        elements[i].storageEnd = elements[i].end;
    }
    abi::HostHandleList list{};
    list.begin = elements.data();
    list.end = elements.data() + elements.size();
    list.storageEnd = list.end;
    module_.releaseSessionObjects(&context_, nullptr, &list);
}

// The module made the table with the C allocator; once every entry is
// released (its values wiped and freed) the host frees the storage.
void Token::releaseSessionTable() {
    auto* table = static_cast<abi::HostSessionTable*>(context_.cookie);
    if (table == nullptr) return;
    std::vector<uint8_t> all;
    const size_t count = table->begin == nullptr ? 0 : static_cast<size_t>(table->end - table->begin);
    for (size_t i = 1; i <= count && i <= 0xFF; ++i) all.push_back(static_cast<uint8_t>(i));
    releaseSessionObjects(all);
    std::free(table->begin);
    std::free(table);
    context_.cookie = nullptr;
}

TokenCall::TokenCall(Token& token) : token_(token) {
    token_.mutex().lock();
    try {
        token_.clearTransportTrouble();
        token_.forgetCounterOfCall();
        begun_ = token_.reader().beginCall();
        token_.noteUsedElsewhere(token_.reader().usedElsewhereSinceLastCall());
        card_ = token_.reader().cardState();
        // Whatever card comes back may not be the one the cache describes.
        if (!card_.present) token_.objectCache().clear();
    } catch (...) {
        token_.mutex().unlock();
        throw;
    }
}

TokenCall::TokenCall(Token& token, WithoutCard) : token_(token), ended_(true) { token_.mutex().lock(); }

TokenCall::~TokenCall() {
    if (!ended_) {
        try {
            token_.reader().endCall();
        } catch (...) {
        }
    }
    token_.mutex().unlock();
}

ck_rv_t TokenCall::end(ck_rv_t rv) {
    ended_ = true;
    ReaderStatus ending = ReaderStatus::failed;
    try {
        ending = token_.reader().endCall();
    } catch (...) {
    }
    switch (token_.transportTrouble()) {
        case ReaderStatus::removed:
        case ReaderStatus::noCard:
        case ReaderStatus::readerGone: return CKR_DEVICE_REMOVED;
        default: break;
    }
    return rv == CKR_OK && ending != ReaderStatus::ok ? CKR_DEVICE_ERROR : rv;
}

}  // namespace korva::host
