// korva-vcard: the virtual card of a card file, inserted into the virtual
// reader of vsmartcard's vpcd driver for pcscd, so that every PC/SC
// application sees it as a card in a reader.
//
// The driver listens on a TCP port (35963 for its first reader, 35964 for
// the second); the card connects to it, and connecting is inserting the card,
// closing the connection taking it out. Every message both ways is a 2-byte
// big-endian length and that many bytes. A 1-byte message from the driver is
// a control: 00 power off, 01 power on, 02 reset (no answer to these), 04 send
// the ATR. Any longer message is a command APDU, answered by the response
// APDU.
//
// The card file is kept as the PKCS#11 library's built-in reader keeps it
// (sim/kept_card.h): read again when another process saved it, saved after
// every command that changed it, under the same lock. A command whose change
// cannot be saved is answered 65 81 (memory failure), never 90 00.
//
// A mute card (--mute, for tests) is what a real reader makes of a card that
// never answers: the reader waits the card's waiting time, gives up and
// reports an error (pcscd: SCARD_E_NOT_TRANSACTED), and the card stays in
// the reader. The driver has no time-out of its own, and an empty message is
// no way to say "no answer": the driver reads the empty body with a
// zero-length blocking receive with MSG_WAITALL, which on a TCP socket waits
// for at least one more byte, so pcscd's reader thread, and with it the
// application's SCardTransmit, would wait for ever. So the card program
// plays the reader's part: it waits the waiting time, connects anew and only
// then ends the old connection. The driver takes a connection that ends
// during a command as an answer of no bytes (SCardTransmit succeeds with an
// empty response, which the library takes as a failed exchange, as it takes
// a reader's error) and drops it; pcscd, polling the reader, finds the new
// connection's card at its next look and sees no removal.
//
// The ATR is our own, in the direct convention:
//   T=1:  3B 8A 01 80 55 4B 4F 52 56 41 62 56 43 <TCK>
//   T=0:  3B 0A 80 55 4B 4F 52 56 41 62 56 43
// T0 = 8A/0A: TD1 follows (T=1 only) or nothing (T=0 implied), and ten
// historical bytes: 80 (compact-TLV follows), 55 "KORVA" (tag 5, the card
// issuer's data, five bytes), 62 "VC" (tag 6, pre-issuing data: virtual
// card). TCK makes the XOR of T0 to TCK zero.
#include "sim/kept_card.h"
#include "sim/t0_link.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR and the loop ends
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

using Bytes = std::vector<uint8_t>;

Bytes ourAtr(bool t0) {
    Bytes atr = {0x3B, static_cast<uint8_t>(t0 ? 0x0A : 0x8A)};
    if (!t0) atr.push_back(0x01);  // TD1: T=1, nothing follows
    const Bytes historical = {0x80, 0x55, 'K', 'O', 'R', 'V', 'A', 0x62, 'V', 'C'};
    atr.insert(atr.end(), historical.begin(), historical.end());
    if (!t0) {
        uint8_t check = 0;
        for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
        atr.push_back(check);
    }
    return atr;
}

// The driver writes a message's length and its body separately; acknowledging
// at once keeps its second write from waiting for a delayed ACK (tens of
// milliseconds per command).
void acknowledgeAtOnce(int socket) {
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool readAll(int socket, uint8_t* into, size_t length) {
    while (length > 0) {
        acknowledgeAtOnce(socket);
        const ssize_t got = ::recv(socket, into, length, 0);
        if (got <= 0) return false;  // closed, or interrupted by a stop signal
        into += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool writeAll(int socket, const Bytes& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) return false;
        sent += static_cast<size_t>(put);
    }
    return true;
}

std::optional<Bytes> readMessage(int socket) {
    uint8_t length[2];
    if (!readAll(socket, length, 2)) return std::nullopt;
    Bytes message(static_cast<size_t>(length[0] << 8 | length[1]));
    if (!readAll(socket, message.data(), message.size())) return std::nullopt;
    return message;
}

bool sendMessage(int socket, const Bytes& body) {
    Bytes framed = {static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    framed.insert(framed.end(), body.begin(), body.end());
    return writeAll(socket, framed);
}

// Connects to the driver, trying again until it listens or a stop is asked.
int connectToDriver(const std::string& address, uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return -1;
    while (!stopRequested) {
        const int connection = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connection < 0) return -1;
        if (::connect(connection, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) {
            const int on = 1;
            setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return connection;
        }
        ::close(connection);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return -1;
}

struct Card {
    korva::sim::KeptCard kept;
    bool t0 = false;
    korva::sim::T0Link link;
    std::optional<uint8_t> vanishOn;  // taken away at the first command with this INS (a test's removal mid-call)
    bool mute = false;                // answers no command (see the top of the file)
    // Not our card: every command gets these bytes (a card of another application, or one
    // that answers garbage) and the card file is never touched.
    std::optional<Bytes> fixedAnswer;

    // One command, under the card file's lock; 6F 00 when the file cannot be read.
    Bytes answer(const Bytes& command) {
        if (fixedAnswer) return *fixedAnswer;
        return answerFromFile(command);
    }

    Bytes answerFromFile(const Bytes& command) {
        kept.take();
        korva::sim::VirtualCard* card = kept.card();
        korva::sim::Answer answered;
        answered.sw1 = 0x6F;
        if (card != nullptr) answered = t0 ? link.transmit(*card, command) : card->transmit(command);
        if (!kept.give()) {
            std::fprintf(stderr, "korva-vcard: %s: %s\n", kept.file().c_str(), kept.problem().c_str());
            answered = {};
            answered.sw1 = 0x65;
            answered.sw2 = 0x81;
        }
        Bytes reply = std::move(answered.data);
        reply.push_back(answered.sw1);
        reply.push_back(answered.sw2);
        return reply;
    }

    void reset() {
        if (fixedAnswer) return;
        link.reset();
        kept.take();
        if (kept.card() != nullptr) kept.card()->reset();
        kept.give();
    }
};

// "6A82" as bytes; empty when the text is not whole bytes in hex.
Bytes bytesOfHex(const std::string& text) {
    Bytes bytes;
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return bytes;
    for (size_t at = 0; at < text.size(); at += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    return bytes;
}

// How serving a connection ended.
enum class Served {
    closed,    // by the driver, a failed write or a stop signal
    vanished,  // the card taken away on purpose (--vanish-on)
    mute,      // a command went unanswered for the reader's time-out
};

// A real reader's time-out on a card that does not answer: about the
// character waiting time of a T=0 card at its first rate (9600 etu at
// 3.5712 MHz, ~1 s); a T=1 card's first block waiting time is of that order.
constexpr int kReaderTimeoutMilliseconds = 1000;

// Waits out the reader's time-out, or less if the driver hangs up or a stop
// is asked.
void waitOutReaderTimeout(int connection) {
    pollfd driver{connection, POLLIN, 0};
    ::poll(&driver, 1, kReaderTimeoutMilliseconds);
}

Served serve(int connection, Card& card) {
    while (!stopRequested) {
        const std::optional<Bytes> message = readMessage(connection);
        if (!message) return Served::closed;
        if (message->size() == 1) {
            switch ((*message)[0]) {
                case 0x00:
                case 0x01:
                case 0x02: card.reset(); break;
                case 0x04:
                    if (!sendMessage(connection, ourAtr(card.t0))) return Served::closed;
                    break;
                default: break;
            }
            continue;
        }
        if (card.vanishOn && (*message)[1] == *card.vanishOn) return Served::vanished;
        if (card.mute) {
            waitOutReaderTimeout(connection);
            return Served::mute;
        }
        if (!sendMessage(connection, card.answer(*message))) return Served::closed;
    }
    return Served::closed;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The virtual card of a card file, in the virtual PC/SC reader of vpcd"};
    std::string cardFile, address = "127.0.0.1";
    uint16_t port = 35963;
    bool t0 = false;
    std::string vanishOn;
    bool foreign = false;
    std::string answerAll;
    bool mute = false;
    app.add_option("CARD-FILE", cardFile, "the card file (made factory-fresh when it does not exist)")->required();
    app.add_option("-a,--address", address, "the driver's IPv4 address")->capture_default_str();
    app.add_option("-p,--port", port, "the driver's port (35963: its first reader, 35964: the second)")
        ->capture_default_str();
    app.add_flag("--t0", t0, "answer as a T=0 card: 61 xx and GET RESPONSE for answers to commands with data");
    app.add_option("--vanish-on", vanishOn,
                   "take the card away (and end) when a command with this INS (two hex digits) arrives; for tests");
    app.add_flag("--foreign", foreign,
                 "answer every command 6A 82 (not found), as a card of another application would; for tests");
    app.add_option("--answer-all", answerAll,
                   "answer every command with these bytes (hex), as a broken card would; for tests");
    app.add_flag(
        "--mute", mute,
        "answer no command: each fails after the reader's time-out, as a mute card in a real reader; for tests");
    CLI11_PARSE(app, argc, argv);

    catchStopSignals();
    std::optional<uint8_t> vanishInstruction;
    if (!vanishOn.empty()) {
        char* end = nullptr;
        const unsigned long instruction = std::strtoul(vanishOn.c_str(), &end, 16);
        if (*end != '\0' || instruction > 0xFF) {
            std::fprintf(stderr, "korva-vcard: --vanish-on takes one byte in hex, not %s\n", vanishOn.c_str());
            return 2;
        }
        vanishInstruction = static_cast<uint8_t>(instruction);
    }
    std::optional<Bytes> fixedAnswer;
    if (foreign) fixedAnswer = Bytes{0x6A, 0x82};  // file or application not found
    if (!answerAll.empty()) {
        fixedAnswer = bytesOfHex(answerAll);
        if (fixedAnswer->empty()) {
            std::fprintf(stderr, "korva-vcard: --answer-all takes bytes in hex, not %s\n", answerAll.c_str());
            return 2;
        }
    }
    Card card{korva::sim::KeptCard(cardFile), t0, {}, vanishInstruction, mute, fixedAnswer};
    if (card.kept.card() == nullptr) {
        std::fprintf(stderr, "korva-vcard: %s: %s\n", cardFile.c_str(), card.kept.problem().c_str());
        return 1;
    }
    int connection = -1;
    while (!stopRequested) {
        if (connection < 0) connection = connectToDriver(address, port);
        if (connection < 0) break;
        const Served served = serve(connection, card);
        if (served == Served::mute) {
            const int next = connectToDriver(address, port);  // still in the reader at pcscd's next look
            ::close(connection);
            connection = next;
            continue;
        }
        ::close(connection);  // the card leaves the reader
        connection = -1;
        if (served == Served::vanished) break;
    }
    if (connection >= 0) ::close(connection);
    return 0;
}
