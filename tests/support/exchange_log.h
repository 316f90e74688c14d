// What the test host saw on its transport, and the faults it can inject.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korva::test {

using Bytes = std::vector<uint8_t>;

// One call of the host's TransmitCallback, as the module made it and as the
// host answered it.
struct Exchange {
    Bytes command;                // the command APDU the module sent
    uint32_t flag = 0;            // the per-command transport option
    uint32_t reserved = 0;        // must always be 0
    uint32_t capacity = 0;        // *responseLength on entry
    Bytes response;               // bytes written into the module's buffer
    uint32_t reportedLength = 0;  // *responseLength on return
    uint8_t sw1 = 0;
    uint8_t sw2 = 0;
    uint32_t rc = 0;           // the callback's return value
    bool reachedCard = false;  // false when a fault answered instead
    bool faulted = false;      // a fault changed this exchange

    uint16_t sw() const { return static_cast<uint16_t>(sw1 << 8 | sw2); }
    // The command's first bytes (CLA INS P1 P2 when present).
    Bytes header() const { return Bytes(command.begin(), command.begin() + std::min<size_t>(4, command.size())); }
    std::string describe() const;  // "80 52 00 00 [flag 1] -> 90 00"
};

// How one exchange goes wrong. Build one with the factory functions.
struct Fault {
    enum class Kind {
        Transport,     // the callback returns `rc` without reaching the card
        Answer,        // the card is not asked; the host answers data + SW
        Truncate,      // the card's data is cut to `length` bytes
        Overlong,      // `extra` is appended to the card's data
        ReportLength,  // the card's data is delivered but `length` is reported
        Rewrite,       // the card runs the command; `data` is delivered instead of its data
    };

    Kind kind = Kind::Transport;
    uint32_t rc = 1;
    Bytes data{};  // Answer: the data; Overlong: the bytes appended
    uint8_t sw1 = 0x90;
    uint8_t sw2 = 0x00;
    uint32_t length = 0;

    static Fault transport(uint32_t rc = 1);
    static Fault answer(Bytes data, uint8_t sw1, uint8_t sw2);
    static Fault status(uint8_t sw1, uint8_t sw2) { return answer({}, sw1, sw2); }
    static Fault truncate(uint32_t length);
    static Fault overlong(Bytes extra);
    // The host claims `length` data bytes, whatever it wrote. A length above
    // the capacity it was given is a host fault the module must catch.
    static Fault reportLength(uint32_t length);
    // The card runs the command (its state changes as it would), and the
    // host hands the module `data` with the card's status words.
    static Fault rewrite(Bytes data);

    bool reachesCard() const { return kind != Kind::Transport && kind != Kind::Answer; }
};

// Which exchanges a fault hits: the n-th exchange overall (1-based), or the
// commands that start with `prefix` (`times` of them; 0 means every one).
struct FaultRule {
    std::optional<size_t> atExchange;
    Bytes prefix;
    size_t times = 1;
    size_t hits = 0;
    Fault fault;

    bool spent() const { return times != 0 && hits >= times; }
    bool matches(size_t exchangeNumber, const Bytes& command) const;
};

std::string hex(const Bytes& bytes);
Bytes fromHex(const std::string& text);  // "80 52 00 00" or "80520000"

}  // namespace korva::test
