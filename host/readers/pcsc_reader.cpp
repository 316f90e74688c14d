#include "host/readers/pcsc_reader.h"

#include "host/readers/exchange.h"
#include "host/trace.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace korva::host {

// Waiting for card events in all PC/SC readers at once, on a context of its
// own (a PC/SC context serves one call at a time; the readers' contexts are
// busy with their calls). SCardCancel ends a wait from another thread.
class PcscEvents final {
public:
    explicit PcscEvents(const PcscApi& api) : api_(api) {
        hasContext_ = api_.establishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) == SCARD_S_SUCCESS;
    }
    ~PcscEvents() {
        if (hasContext_) api_.releaseContext(context_);
    }
    PcscEvents(const PcscEvents&) = delete;
    PcscEvents& operator=(const PcscEvents&) = delete;

    void add(const std::string& name) { names_.push_back(name); }

    void wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (std::exchange(cancelled_, false)) return;
        std::vector<SCARD_READERSTATE> states(names_.size());
        for (size_t i = 0; i < names_.size(); ++i) {
            states[i].szReader = names_[i].c_str();
            states[i].dwCurrentState = SCARD_STATE_UNAWARE;
        }
        // The states as they are now, then a wait for any of them to change.
        LONG rv = hasContext_ ? api_.getStatusChange(context_, 0, states.data(), static_cast<DWORD>(states.size()))
                              : SCARD_E_NO_SERVICE;
        if (rv == SCARD_S_SUCCESS) {
            for (auto& state : states) state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
            waiting_ = true;
            lock.unlock();
            rv = api_.getStatusChange(context_, static_cast<DWORD>(timeout.count()), states.data(),
                                      static_cast<DWORD>(states.size()));
            lock.lock();
            waiting_ = false;
        }
        if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT || rv == SCARD_E_CANCELLED) return;
        // No service to wait on: wait out the time (or a cancellation).
        wake_.wait_for(lock, timeout, [&] { return cancelled_; });
        cancelled_ = false;
    }

    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        if (waiting_) api_.cancel(context_);
        wake_.notify_all();
    }

private:
    const PcscApi& api_;
    SCARDCONTEXT context_ = 0;
    bool hasContext_ = false;
    std::vector<std::string> names_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool waiting_ = false;
    bool cancelled_ = false;
};

namespace {

// SELECT of the application directory by its path from the master file.
constexpr uint8_t kSelectApplication[] = {0x00, 0xA4, 0x08, 0x00, 0x02, 0xA1, 0xBC};
constexpr size_t kLongestAnswer = 258 + 2;

// A reader's name cut to `room` bytes without splitting a UTF-8 character.
std::string cutAtCharacter(const std::string& text, size_t room) {
    if (text.size() <= room) return text;
    size_t end = room;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace

PcscReader::PcscReader(const PcscApi& api, std::string name, std::shared_ptr<PcscEvents> events)
    : api_(api), name_(std::move(name)), events_(std::move(events)) {
    hasContext_ = api_.establishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) == SCARD_S_SUCCESS;
    gone_ = !hasContext_;
}

PcscReader::~PcscReader() {
    disconnect();
    if (hasContext_) api_.releaseContext(context_);
}

std::string PcscReader::description() const { return cutAtCharacter(name_, 64); }

ReaderStatus PcscReader::statusOf(LONG rv) {
    switch (rv) {
        case SCARD_S_SUCCESS: return ReaderStatus::ok;
        case SCARD_E_NO_SMARTCARD:
        case SCARD_W_REMOVED_CARD: disconnect(); return ReaderStatus::removed;
        case SCARD_W_RESET_CARD: return ReaderStatus::reset;
        case SCARD_E_NO_SERVICE:
        case SCARD_E_SERVICE_STOPPED:
        // pcsc-lite's word for a connection pcscd closed on its side: pcscd
        // ended under a context (the first call after it stopped gets this
        // half the time, SCARD_E_NO_SERVICE the other half), or refused this
        // process the reader. The context cannot reach the reader again.
        case SCARD_W_SECURITY_VIOLATION:
        case SCARD_E_READER_UNAVAILABLE:
        case SCARD_E_UNKNOWN_READER:
        case SCARD_E_INVALID_HANDLE:
            disconnect();
            if (!gone_) trace::line(1, "PC/SC reader \"" + name_ + "\": " + pcscErrorName(rv) + ": its slot is gone");
            gone_ = true;
            return ReaderStatus::readerGone;
        default: return ReaderStatus::failed;
    }
}

// What is in the reader now. pcsc-lite counts the card events of a reader in
// the upper half of its event state: a present card whose count moved since
// the last look is a card inserted since (perhaps the same one, taken out
// and put back; either way its state is no longer known).
ReaderStatus PcscReader::refresh() {
    if (gone_) return ReaderStatus::readerGone;
    SCARD_READERSTATE reader{};
    reader.szReader = name_.c_str();
    reader.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG rv = api_.getStatusChange(context_, 0, &reader, 1);
    if (rv != SCARD_S_SUCCESS) {
        state_ = {};
        return statusOf(rv) == ReaderStatus::readerGone ? ReaderStatus::readerGone : ReaderStatus::failed;
    }
    const bool present = (reader.dwEventState & SCARD_STATE_PRESENT) != 0;
    const DWORD events = reader.dwEventState >> 16;
    if (present && (!state_.present || lastEvents_ != events)) {
        disconnect();
        ++state_.insertions;
        state_.recognised = false;
        state_.atr.assign(reader.rgbAtr, reader.rgbAtr + std::min<DWORD>(reader.cbAtr, sizeof reader.rgbAtr));
    }
    if (!present) {
        disconnect();
        state_.recognised = false;
        state_.atr.clear();
    }
    state_.present = present;
    lastEvents_ = events;
    return present ? ReaderStatus::ok : ReaderStatus::noCard;
}

CardState PcscReader::cardState() {
    if (!inCall_) refresh();
    return state_;
}

void PcscReader::disconnect() {
    if (!connected_) return;
    if (inTransaction_) api_.endTransaction(card_, SCARD_LEAVE_CARD);
    api_.disconnect(card_, SCARD_LEAVE_CARD);
    connected_ = inTransaction_ = false;
}

ReaderStatus PcscReader::connect() {
    const LONG rv = api_.connect(context_, name_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                 &card_, &protocol_);
    if (rv == SCARD_W_UNRESPONSIVE_CARD || rv == SCARD_W_UNPOWERED_CARD || rv == SCARD_E_PROTO_MISMATCH) {
        state_.recognised = false;  // a card that cannot be spoken to is not one of ours
        return ReaderStatus::ok;
    }
    if (const ReaderStatus status = statusOf(rv); status != ReaderStatus::ok) return status;
    connected_ = true;
    return ReaderStatus::ok;
}

// The transaction of one call. After a reset by another application the
// card is reconnected (its security state is gone: the login step sends the
// PIN again) and the transaction begun once more.
ReaderStatus PcscReader::beginTransaction() {
    LONG rv = api_.beginTransaction(card_);
    if (rv == SCARD_W_RESET_CARD) {
        if (const ReaderStatus status = reconnect(); status != ReaderStatus::ok) return status;
        rv = api_.beginTransaction(card_);
    }
    if (const ReaderStatus status = statusOf(rv); status != ReaderStatus::ok) return status;
    inTransaction_ = true;
    return ReaderStatus::ok;
}

ReaderStatus PcscReader::beginCall() {
    inCall_ = true;
    if (const ReaderStatus status = refresh(); status != ReaderStatus::ok) return status;
    const bool fresh = !connected_;
    if (fresh) {
        if (const ReaderStatus status = connect(); status != ReaderStatus::ok) return status;
        if (!connected_) return ReaderStatus::ok;  // present, but mute
    }
    if (const ReaderStatus status = beginTransaction(); status != ReaderStatus::ok) return status;
    if (fresh) {
        // A card that does not answer at all is not judged: the next call asks again.
        const ReaderStatus asked = recognise();
        if (asked != ReaderStatus::ok) disconnect();
        return asked;
    }
    return ReaderStatus::ok;
}

ReaderStatus PcscReader::endCall() {
    inCall_ = false;
    if (!inTransaction_) return ReaderStatus::ok;
    inTransaction_ = false;
    const LONG rv = api_.endTransaction(card_, SCARD_LEAVE_CARD);
    // A card taken out at the very end changed nothing the call did.
    return rv == SCARD_S_SUCCESS || rv == SCARD_W_REMOVED_CARD || rv == SCARD_E_NO_SMARTCARD ? ReaderStatus::ok
                                                                                             : statusOf(rv);
}

ReaderStatus PcscReader::reconnect() {
    if (!connected_) return connect();
    const LONG rv =
        api_.reconnect(card_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &protocol_);
    if (rv == SCARD_S_SUCCESS) ++state_.resets;
    return statusOf(rv);
}

ReaderStatus PcscReader::rawExchange(std::span<const uint8_t> command, std::vector<uint8_t>& answer) {
    if (!connected_) return state_.present ? ReaderStatus::failed : ReaderStatus::noCard;
    const SCARD_IO_REQUEST sendPci{protocol_, sizeof(SCARD_IO_REQUEST)};
    answer.resize(kLongestAnswer);
    DWORD length = static_cast<DWORD>(answer.size());
    const LONG rv = api_.transmit(card_, &sendPci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                                  answer.data(), &length);
    // An answer without its status word is a failed exchange too.
    if (rv != SCARD_S_SUCCESS || length < 2) {
        trace::line(2, "PC/SC reader \"" + name_ + "\": SCardTransmit: " + pcscErrorName(rv) + ", " +
                           std::to_string(length) + " bytes");
        const ReaderStatus status = rv == SCARD_S_SUCCESS ? ReaderStatus::failed : statusOf(rv);
        if (status != ReaderStatus::failed || !cardWentAway()) return status;
        disconnect();
        return ReaderStatus::removed;
    }
    answer.resize(std::min<size_t>(length, answer.size()));
    return ReaderStatus::ok;
}

// A driver whose card vanished during an exchange may report a plain
// communication error before pcscd has seen the card go; the reader's state
// settles within a moment (bounded here, and only on this failure path).
bool PcscReader::cardWentAway() {
    SCARD_READERSTATE reader{};
    reader.szReader = name_.c_str();
    reader.dwCurrentState = SCARD_STATE_PRESENT | (lastEvents_.value_or(0) << 16);
    constexpr DWORD kSettleMilliseconds = 1000;
    if (api_.getStatusChange(context_, kSettleMilliseconds, &reader, 1) != SCARD_S_SUCCESS) return false;
    return (reader.dwEventState & SCARD_STATE_PRESENT) == 0 || (reader.dwEventState >> 16) != lastEvents_;
}

ReaderStatus PcscReader::transmit(std::span<const uint8_t> command, uint8_t* response, uint32_t* responseLength,
                                  uint8_t& sw1, uint8_t& sw2, Outstanding outstanding) {
    if (!state_.recognised) return ReaderStatus::failed;  // nothing but the SELECT goes to a card not ours
    const RawExchange raw = [this](std::span<const uint8_t> apdu, std::vector<uint8_t>& answer) {
        return rawExchange(apdu, answer);
    };
    return exchange(raw, command, response, responseLength, sw1, sw2, outstanding);
}

ReaderStatus PcscReader::recognise() {
    const RawExchange raw = [this](std::span<const uint8_t> apdu, std::vector<uint8_t>& answer) {
        return rawExchange(apdu, answer);
    };
    uint8_t response[258];
    uint32_t length = sizeof response;
    uint8_t sw1 = 0, sw2 = 0;
    const ReaderStatus status = exchange(raw, kSelectApplication, response, &length, sw1, sw2, Outstanding::fetch);
    state_.recognised = status == ReaderStatus::ok && sw1 == 0x90 && sw2 == 0x00;
    return status;
}

void PcscReader::waitForChange(std::chrono::milliseconds timeout) { events_->wait(timeout); }
void PcscReader::cancelWait() { events_->cancel(); }

std::vector<std::unique_ptr<Reader>> openPcscReaders(std::string& note) {
    std::vector<std::unique_ptr<Reader>> readers;
    const PcscApi* api = pcscApi();
    if (api == nullptr) {
        note = "PC/SC: pcsc-lite (libpcsclite.so.1) cannot be loaded: no reader slots";
        return readers;
    }
    SCARDCONTEXT context = 0;
    LONG rv = api->establishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        note = std::string("PC/SC: ") + pcscErrorName(rv) + ": no reader slots";
        return readers;
    }
    DWORD size = 0;
    rv = api->listReaders(context, nullptr, nullptr, &size);
    std::vector<char> names(size + 1, '\0');
    if (rv == SCARD_S_SUCCESS) rv = api->listReaders(context, nullptr, names.data(), &size);
    api->releaseContext(context);
    if (rv != SCARD_S_SUCCESS) {
        note = std::string("PC/SC: ") + pcscErrorName(rv) + ": no reader slots";
        return readers;
    }
    // A multi-string: names ended by NUL, the list by an empty name.
    auto events = std::make_shared<PcscEvents>(*api);
    for (size_t at = 0; at < size && names[at] != '\0';) {
        std::string name(&names[at]);
        at += name.size() + 1;
        events->add(name);
        readers.push_back(std::make_unique<PcscReader>(*api, std::move(name), events));
    }
    note = "PC/SC: " + std::to_string(readers.size()) + " reader(s)";
    return readers;
}

}  // namespace korva::host
