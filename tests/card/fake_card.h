// A scripted stand-in for the host transport: answers come from a queue, and
// every command is recorded with its transport flag and the response
// capacity the module announced.
#pragma once

#include "card/card_context.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

namespace korva::testing {

using Bytes = std::vector<uint8_t>;

struct ScriptedAnswer {
    Bytes data;
    uint16_t statusWord = 0x9000;
    uint32_t rc = 0;
    uint32_t reportedLength = 0;  // non-zero: claimed instead of data.size()
};

struct SentCommand {
    Bytes command;
    uint32_t flag;
    uint32_t capacity;
};

class FakeCard {
public:
    FakeCard& answer(uint16_t statusWord, Bytes data = {}) {
        script_.push_back({std::move(data), statusWord});
        return *this;
    }
    FakeCard& ok(Bytes data = {}) { return answer(0x9000, std::move(data)); }
    FakeCard& failTransport(uint32_t rc) {
        script_.push_back({{}, 0x9000, rc});
        return *this;
    }
    // An answer whose claimed length exceeds what the host really wrote.
    FakeCard& overreport(uint32_t claimed) {
        script_.push_back({{}, 0x9000, 0, claimed});
        return *this;
    }

    HostContext host() { return HostContext{0x11, 0x22, &FakeCard::transmit, this}; }

    const std::vector<SentCommand>& sent() const { return sent_; }
    const Bytes& command(std::size_t i) const { return sent_.at(i).command; }
    std::size_t unanswered() const { return script_.size(); }

private:
    static uint32_t transmit(HostContext host, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                             uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2, uint32_t flag, uint32_t) {
        auto* self = static_cast<FakeCard*>(host.cookie);
        self->sent_.push_back({Bytes(command, command + commandLength), flag, *responseLength});
        ScriptedAnswer next{{}, 0x6F00};  // a card with nothing scripted refuses
        if (!self->script_.empty()) {
            next = std::move(self->script_.front());
            self->script_.pop_front();
        }
        if (next.rc != 0) return next.rc;
        const std::size_t written = std::min<std::size_t>(next.data.size(), *responseLength);
        std::copy_n(next.data.begin(), written, response);
        *responseLength = next.reportedLength != 0 ? next.reportedLength : static_cast<uint32_t>(written);
        *sw1 = static_cast<uint8_t>(next.statusWord >> 8);
        *sw2 = static_cast<uint8_t>(next.statusWord);
        return 0;
    }

    std::deque<ScriptedAnswer> script_;
    std::vector<SentCommand> sent_;
};

inline Bytes filled(std::size_t count, uint8_t value) { return Bytes(count, value); }

inline Bytes counting(std::size_t count, uint8_t start = 0) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(start + i);
    return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace korva::testing
