#include "host/readers/exchange.h"

#include <cstring>

namespace korva::host {
namespace {

constexpr uint8_t kMoreData = 0x61;  // 61 xx: xx more bytes wait for GET RESPONSE (00: 256 or more)
constexpr uint8_t kWrongLe = 0x6C;   // 6C xx: send the command again with Le = xx
// What one library call may collect through GET RESPONSE: far more than any
// answer of ours, far less than a card that never stops saying 61 xx.
constexpr size_t kMostCollected = 64 * 1024;
// And as many GET RESPONSE rounds as that takes in full 256-byte pieces: a
// card that says 61 xx but sends nothing would otherwise keep the call forever.
constexpr size_t kMostRounds = kMostCollected / 256;

// The command with its Le replaced (or added) by `le`. A short APDU is
// header (4), then Lc and data when there is data, then Le when an answer
// is expected.
std::vector<uint8_t> withLe(std::span<const uint8_t> command, uint8_t le) {
    std::vector<uint8_t> changed(command.begin(), command.end());
    const size_t withoutLe = command.size() > 5 && command.size() == 5u + command[4] ? command.size()
                             : command.size() == 4                                   ? 4
                             : command.size() == 5                                   ? 4
                                                                                     : command.size() - 1;
    changed.resize(withoutLe);
    changed.push_back(le);
    return changed;
}

}  // namespace

ReaderStatus exchange(const RawExchange& raw, std::span<const uint8_t> command, uint8_t* response,
                      uint32_t* responseLength, uint8_t& sw1, uint8_t& sw2, Outstanding outstanding) {
    std::vector<uint8_t> answer;
    if (const ReaderStatus status = raw(command, answer); status != ReaderStatus::ok) return status;
    if (answer.size() < 2) return ReaderStatus::failed;
    if (outstanding == Outstanding::fetch && answer[answer.size() - 2] == kWrongLe && command.size() >= 4) {
        const std::vector<uint8_t> again = withLe(command, answer.back());
        if (const ReaderStatus status = raw(again, answer); status != ReaderStatus::ok) return status;
        if (answer.size() < 2) return ReaderStatus::failed;
    }
    std::vector<uint8_t> data(answer.begin(), answer.end() - 2);
    uint8_t lastSw1 = answer[answer.size() - 2], lastSw2 = answer.back();
    for (size_t round = 1; outstanding == Outstanding::fetch && lastSw1 == kMoreData; ++round) {
        if (round > kMostRounds) return ReaderStatus::failed;
        const uint8_t getResponse[] = {0x00, 0xC0, 0x00, 0x00, lastSw2};
        if (const ReaderStatus status = raw(getResponse, answer); status != ReaderStatus::ok) return status;
        if (answer.size() < 2 || data.size() + answer.size() > kMostCollected) return ReaderStatus::failed;
        data.insert(data.end(), answer.begin(), answer.end() - 2);
        lastSw1 = answer[answer.size() - 2];
        lastSw2 = answer.back();
    }
    if (data.size() > *responseLength) return ReaderStatus::failed;
    if (!data.empty()) std::memcpy(response, data.data(), data.size());
    *responseLength = static_cast<uint32_t>(data.size());
    sw1 = lastSw1;
    sw2 = lastSw2;
    return ReaderStatus::ok;
}

}  // namespace korva::host
