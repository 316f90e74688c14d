// A hostile card behind the module: the slots of one scenario
// (hostile_card_scenarios.h) run through the module's table, and every
// answer the card gives comes from the input.
//
// Input format:
//   byte 0        the scenario, an index into scenarios() (others do nothing)
//   bytes 1..17   the token settings the host read from the card earlier
//   then, for each exchange in turn, the card's answer:
//     SW1 SW2 L   status words and the data length; L = FF means 255 plus
//                 the next byte (answers up to 510 bytes)
//     L bytes     the data (fewer if the input ends first)
//   When the input cannot give a whole SW1 SW2 L, that exchange and every
//   later one fail as a transport failure (the reader is gone).
// An answer longer than the module's buffer is cut to fit, but its full
// length is reported, as a careless host would: the module must refuse it.
//
// record_hostile_card writes inputs in this format from runs of the same
// scenarios on the virtual card (the seed corpus). With KORVA_HOSTILE_TRACE
// set in the environment, each run prints its scenario and the slots'
// return values (to see what a seed or a reproducer does).
#include "fuzz/hostile_card_scenarios.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace korva;

constexpr uint32_t kTransportFailure = 0x8010'0016;  // any non-zero value
constexpr uint32_t kLongestCommand = 263;

struct Answers {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    bool gone = false;

    bool take(size_t count, const uint8_t*& bytes) {
        if (gone || size - at < count) return false;
        bytes = data + at;
        at += count;
        return true;
    }
};

Answers answers;

uint32_t transmit(abi::HostContext, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                  uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2, uint32_t, uint32_t) {
    if (command == nullptr || commandLength < 4 || commandLength > kLongestCommand || response == nullptr ||
        responseLength == nullptr || sw1 == nullptr || sw2 == nullptr) {
        std::fprintf(stderr, "hostile card: the module sent a malformed exchange\n");
        std::abort();
    }
    // Read every command byte, so that a command running past the module's
    // buffer is an AddressSanitizer report.
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < commandLength; ++i) sum = uint8_t(sum + command[i]);

    const uint8_t* head = nullptr;
    if (!answers.take(3, head)) {
        answers.gone = true;
        return kTransportFailure;
    }
    size_t length = head[2];
    const uint8_t* more = nullptr;
    if (length == 0xFF && answers.take(1, more)) length += more[0];
    length = std::min(length, answers.size - answers.at);
    const uint8_t* data = nullptr;
    answers.take(length, data);
    const uint32_t capacity = *responseLength;
    if (length != 0) std::memcpy(response, data, std::min<size_t>(length, capacity));
    *responseLength = uint32_t(length);
    *sw1 = head[0];
    *sw2 = head[1];
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHead = 1 + KORVA_TOKEN_SETTINGS_SIZE;
    const auto all = fuzz::scenarios();
    if (size < kHead || data[0] >= all.size()) return 0;
    answers = {data + kHead, size - kHead, 0, false};
    {
        fuzz::Session session(&transmit, std::span<const uint8_t, KORVA_TOKEN_SETTINGS_SIZE>(data + 1, kHead - 1));
        all[data[0]].run(session);
        if (std::getenv("KORVA_HOSTILE_TRACE") != nullptr) {
            std::fprintf(stderr, "%s:", all[data[0]].name);
            for (const abi::CK_RV rv : session.results) std::fprintf(stderr, " %X", unsigned(rv));
            std::fprintf(stderr, " (%zu of %zu answer bytes used)\n", answers.at, answers.size);
        }
    }
    answers = {};
    return 0;
}
