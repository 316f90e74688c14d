#include "host/readers/virtual_card_reader.h"

#include "host/readers/exchange.h"
#include "host/trace.h"

namespace korva::host {

VirtualCardReader::VirtualCardReader(std::filesystem::path cardFile) : kept_(std::move(cardFile)) { reportProblem(); }

void VirtualCardReader::reportProblem() {
    if (!kept_.takeNewProblem()) return;
    trace::notice("card file " + kept_.file().string() + " cannot be used (" + kept_.problem() +
                  "); it was left as it is and the slot shows no card");
}

std::string VirtualCardReader::description() const {
    std::string text = "Virtual card " + kept_.file().filename().string();
    return text.substr(0, 64);
}

// The card file is the card: it is there as long as the file can be read.
// Its insertion number stays 1 (a damaged file put right is the same card
// slot, and the library re-reads the token's state on every call anyway).
CardState VirtualCardReader::cardState() {
    CardState state;
    state.present = state.recognised = kept_.card() != nullptr;
    state.insertions = 1;
    return state;
}

ReaderStatus VirtualCardReader::beginCall() {
    kept_.take();
    reportProblem();
    return kept_.card() == nullptr ? ReaderStatus::noCard : ReaderStatus::ok;
}

ReaderStatus VirtualCardReader::endCall() { return kept_.give() ? ReaderStatus::ok : ReaderStatus::failed; }

// The virtual card answers in full (as a T=1 card does) unless an answer is
// longer than one response; it then says 61 xx like any card.
ReaderStatus VirtualCardReader::transmit(std::span<const uint8_t> command, uint8_t* response, uint32_t* responseLength,
                                         uint8_t& sw1, uint8_t& sw2, Outstanding outstanding) {
    sim::VirtualCard* card = kept_.card();
    if (card == nullptr) return ReaderStatus::noCard;
    const RawExchange raw = [card](std::span<const uint8_t> apdu, std::vector<uint8_t>& answer) {
        sim::Answer given = card->transmit(apdu);
        answer = std::move(given.data);
        answer.push_back(given.sw1);
        answer.push_back(given.sw2);
        return ReaderStatus::ok;
    };
    return exchange(raw, command, response, responseLength, sw1, sw2, outstanding);
}

void VirtualCardReader::waitForChange(std::chrono::milliseconds timeout) {
    std::unique_lock lock(waitMutex_);
    waitEnd_.wait_for(lock, timeout, [&] { return waitCancelled_; });
    waitCancelled_ = false;
}

void VirtualCardReader::cancelWait() {
    std::lock_guard lock(waitMutex_);
    waitCancelled_ = true;
    waitEnd_.notify_all();
}

}  // namespace korva::host
