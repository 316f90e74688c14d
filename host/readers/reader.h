// What the library needs from a card reader, and what a reader tells it.
//
// A slot of the library is one reader. Every library call that reaches the
// token is bracketed by beginCall() and endCall(): a reader whose card is
// shared with other processes takes the card for the whole call there (a
// file lock, a PC/SC transaction), so that nobody's commands land between
// two of ours, and makes the call's changes lasting at the end. Each step
// says what happened, so that the library never guesses from the commands
// it sent: the card went away, another application reset it, a changed
// card could not be saved.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korva::host {

enum class ReaderStatus : uint8_t {
    ok,
    noCard,      // the reader is empty
    removed,     // the card went away since it was connected
    reset,       // another application reset the card: its security state is gone
    readerGone,  // the reader itself (or the service behind it) is no longer there
    failed,      // anything else: a transport error, a card that could not be saved
};

// What is in the reader. A new card, or the same card taken out and put
// back, gets a new insertion number; a reset by another application counts
// in `resets`. Either one means that whatever the card's security state or
// content was known to be, it is no longer known.
struct CardState {
    bool present = false;
    bool recognised = false;  // present and one of ours (its application answers)
    uint32_t insertions = 0;
    uint32_t resets = 0;
    std::vector<uint8_t> atr;

    bool sameCardAs(const CardState& other) const { return present == other.present && insertions == other.insertions; }
};

// Whether the transport completes an answer the card left outstanding: with
// `fetch`, 61 xx is answered by GET RESPONSE and 6C xx by sending the command
// again with the length the card gave, and the caller sees the whole answer;
// with `asAnswered` the card's answer reaches the caller unchanged (the
// module reads 61 xx itself where it expects it).
enum class Outstanding : uint8_t { asAnswered, fetch };

class Reader {
public:
    virtual ~Reader() = default;

    // Up to 64 characters for the slot's description.
    virtual std::string description() const = 0;
    // A reader whose card can be taken out (a PC/SC reader); the built-in
    // card file cannot.
    virtual bool removable() const = 0;
    // The card as the reader last saw it (at the start of the call when
    // within one; otherwise refreshed by the call).
    virtual CardState cardState() = 0;

    // Takes the card for one library call. ok: the card is there and ours to
    // use; noCard, removed, readerGone: nothing to talk to (the call may
    // still answer what it can without the card). A reset by another
    // application is handled here: the reader reconnects, counts the reset
    // and answers ok.
    virtual ReaderStatus beginCall() = 0;
    // Ends the call that beginCall() began; failed when a change the card
    // made could not be kept.
    virtual ReaderStatus endCall() = 0;

    // One command APDU in, the answer's data and status words out.
    // `responseLength` holds the capacity on entry and the number of data
    // bytes on return.
    virtual ReaderStatus transmit(std::span<const uint8_t> command, uint8_t* response, uint32_t* responseLength,
                                  uint8_t& sw1, uint8_t& sw2, Outstanding outstanding) = 0;

    // Within a call: whether anyone but this library (another process,
    // another application) may have used the card since this library's
    // previous call; nothing when the reader cannot tell.
    virtual std::optional<bool> usedElsewhereSinceLastCall() const { return std::nullopt; }

    // Within a call: the card's 8-byte identity (what the token reports as
    // its serial number), when the reader knows it without asking the card;
    // nothing otherwise.
    virtual std::optional<std::array<uint8_t, 8>> knownCardIdentity() { return std::nullopt; }

    // Connects to the card again after it was reset or re-inserted.
    virtual ReaderStatus reconnect() = 0;

    // Blocks until a card event may have happened in any reader of this kind
    // (inserted, removed, reader gone) or `timeout` passed; cancelWait()
    // from another thread ends the wait early. Readers whose card never
    // changes (a card file) simply wait out the time.
    virtual void waitForChange(std::chrono::milliseconds timeout) = 0;
    virtual void cancelWait() {}
};

// Transport failures the transmit callback reports to the module (non-zero
// means the exchange did not take place).
inline constexpr uint32_t kNoCard = 0x8010'000C;
inline constexpr uint32_t kAnswerTooLong = 0x8010'0008;
inline constexpr uint32_t kRemovedCard = 0x8010'0069;
inline constexpr uint32_t kResetCard = 0x8010'0068;
inline constexpr uint32_t kTransportFailed = 0x8010'0001;
inline constexpr uint32_t kReaderGone = 0x8010'0017;

}  // namespace korva::host
