#include "tests/support/exchange_log.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace korva::test {

// Each fault names only the fields its kind uses; the rest keep their defaults.
Fault Fault::transport(uint32_t rc) { return {.kind = Kind::Transport, .rc = rc == 0 ? 1 : rc}; }

Fault Fault::answer(Bytes data, uint8_t sw1, uint8_t sw2) {
    return {.kind = Kind::Answer, .data = std::move(data), .sw1 = sw1, .sw2 = sw2};
}

Fault Fault::truncate(uint32_t length) { return {.kind = Kind::Truncate, .length = length}; }

Fault Fault::overlong(Bytes extra) { return {.kind = Kind::Overlong, .data = std::move(extra)}; }

Fault Fault::reportLength(uint32_t length) { return {.kind = Kind::ReportLength, .length = length}; }

Fault Fault::rewrite(Bytes data) { return {.kind = Kind::Rewrite, .data = std::move(data)}; }

bool FaultRule::matches(size_t exchangeNumber, const Bytes& command) const {
    if (spent()) return false;
    if (atExchange) return *atExchange == exchangeNumber;
    return command.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), command.begin());
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += buf;
    }
    return out;
}

Bytes fromHex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("not hex: " + text);
        int nibble = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
        if (high < 0) {
            high = nibble;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd hex digit count: " + text);
    return out;
}

std::string Exchange::describe() const {
    std::string text =
        hex(command) + " [flag " + std::to_string(flag) + ", capacity " + std::to_string(capacity) + "] -> ";
    if (rc != 0) return text + "rc " + std::to_string(rc) + (faulted ? " (fault)" : "");
    char sw[8];
    std::snprintf(sw, sizeof sw, "%02X %02X", sw1, sw2);
    if (!response.empty()) text += hex(response) + " ";
    text += sw;
    if (reportedLength != response.size()) text += " (reported " + std::to_string(reportedLength) + ")";
    if (faulted) text += " (fault)";
    return text;
}

}  // namespace korva::test
