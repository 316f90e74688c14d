// A card stand-in that answers by rules: the first rule whose command prefix
// matches gives the answer, everything else answers 90 00 without data.
// Every command is recorded with its transport flag. Meant for sequences too
// long to script answer by answer, such as token initialisation.
#pragma once

#include "card/card_context.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace korva::testing {

class RuleCard {
public:
    using Bytes = std::vector<uint8_t>;
    struct Answer {
        Bytes data;
        uint16_t statusWord = 0x9000;
    };
    struct Sent {
        Bytes command;
        uint32_t flag;
    };

    // `times` 0: the rule holds for ever; otherwise it is used that often.
    RuleCard& on(Bytes prefix, Answer answer, int times = 0) {
        rules_.push_back({std::move(prefix), std::move(answer), times});
        return *this;
    }

    HostContext host() { return HostContext{1, 2, &RuleCard::transmit, this}; }
    const std::vector<Sent>& sent() const { return sent_; }
    std::vector<Bytes> commandsStartingWith(const Bytes& prefix) const {
        std::vector<Bytes> found;
        for (const Sent& s : sent_) {
            if (s.command.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), s.command.begin())) {
                found.push_back(s.command);
            }
        }
        return found;
    }

private:
    struct Rule {
        Bytes prefix;
        Answer answer;
        int times;
    };

    static uint32_t transmit(HostContext host, const uint8_t* command, uint32_t length, uint8_t* response,
                             uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2, uint32_t flag, uint32_t) {
        auto* self = static_cast<RuleCard*>(host.cookie);
        Bytes sentCommand(command, command + length);
        self->sent_.push_back({sentCommand, flag});
        Answer answer;
        for (Rule& rule : self->rules_) {
            if (rule.times < 0) continue;
            if (sentCommand.size() < rule.prefix.size() ||
                !std::equal(rule.prefix.begin(), rule.prefix.end(), sentCommand.begin())) {
                continue;
            }
            answer = rule.answer;
            if (rule.times > 0 && --rule.times == 0) rule.times = -1;
            break;
        }
        const std::size_t written = std::min<std::size_t>(answer.data.size(), *responseLength);
        std::copy_n(answer.data.begin(), written, response);
        *responseLength = static_cast<uint32_t>(written);
        *sw1 = static_cast<uint8_t>(answer.statusWord >> 8);
        *sw2 = static_cast<uint8_t>(answer.statusWord);
        return 0;
    }

    std::vector<Rule> rules_;
    std::vector<Sent> sent_;
};

}  // namespace korva::testing
