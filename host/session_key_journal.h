// The crash journal of session keys the card keeps.
//
// A key pair made with CKA_TOKEN false (and a session secret key the card
// stores) lives on the card for its session only: the library destroys it
// when the session ends. A process that dies first (killed, crashed) leaves
// it there, so every process that makes such a key notes it first in a
// journal of its own, and a later process destroys what a dead one left.
//
// Where: $XDG_STATE_HOME/korva/session-keys/ (else ~/.local/state/korva/
// session-keys/), a pair of files per card and process:
//   <card serial>.<pid>.<n>.lock     held locked (flock) while the process lives
//   <card serial>.<pid>.<n>.journal  the card objects it owns, replaced atomically
// The kernel drops the lock of a dead process, so a lock that can be taken
// (or is missing) marks the journal as a leftover. The journal is written,
// and synced, before the card is asked to make the key ("pending"), and again
// with the key's records once it is made and after each one is destroyed.
//
// When: right after a user login, the first moment the library holds the
// PIN that may delete objects. If a dead process left a journal, every card
// object that reports CKA_TOKEN false, outside the card's session table, and
// that no living process names as its own, is destroyed, and the dead
// journals are removed. A living process in the middle of making a key
// (pending) puts the clean-up off to a later login.
#pragma once

#include "host/pkcs11_api.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korva::host {

class Token;

// The card objects a journal names, and whether a key is being made.
struct JournalContents {
    std::vector<abi::ObjectHandle> owned;
    bool pending = false;
};

// Encodes and decodes a journal; decoding bounds every count by the bytes
// present and refuses anything else (the files are anyone's to write).
std::vector<uint8_t> encodeJournal(const JournalContents& contents);
std::optional<JournalContents> decodeJournal(std::span<const uint8_t> bytes);

// The journal directory, or nothing when neither $XDG_STATE_HOME nor $HOME is set.
std::optional<std::string> journalDirectory();

// This process's journal for one token.
class SessionKeyJournal final {
public:
    SessionKeyJournal() = default;
    ~SessionKeyJournal();
    SessionKeyJournal(const SessionKeyJournal&) = delete;
    SessionKeyJournal& operator=(const SessionKeyJournal&) = delete;

    // Writes the journal for the card with `serial`; false when it cannot be
    // written (then no session key may be made). An empty journal that is not
    // pending is removed instead.
    bool write(const std::string& serial, const JournalContents& contents);
    // Our own files' common name (empty while we have none).
    const std::string& base() const { return base_; }

private:
    void close(bool remove);

    std::string serial_;
    std::string base_;  // directory/serial.pid.n
    int lock_ = -1;
};

// The token's card serial as a file-name part (letters and digits), or
// nothing when the card does not say.
std::optional<std::string> cardSerial(Token& token);

// After a user login: destroys what dead processes left on this card.
void destroyCrashLeftovers(Token& token);

}  // namespace korva::host
