// The built-in reader: a virtual card kept in a card file (sim/kept_card.h
// says how the file is shared between processes and when it is saved). Its
// card is always present and never changes by itself. A card file that
// cannot be read leaves the slot without a card and is never overwritten;
// one line on standard error (and so in the trace) says which file, what is
// wrong with it and that it was left as it is, once for each state of the
// file.
#pragma once

#include "host/readers/reader.h"
#include "sim/kept_card.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>

namespace korva::host {

class VirtualCardReader final : public Reader {
public:
    explicit VirtualCardReader(std::filesystem::path cardFile);

    std::string description() const override;
    bool removable() const override { return false; }
    CardState cardState() override;
    ReaderStatus beginCall() override;
    ReaderStatus endCall() override;
    ReaderStatus transmit(std::span<const uint8_t> command, uint8_t* response, uint32_t* responseLength, uint8_t& sw1,
                          uint8_t& sw2, Outstanding outstanding) override;
    // Another process saved the card file since our previous call: it had
    // the card. Nobody else can have used it otherwise.
    std::optional<bool> usedElsewhereSinceLastCall() const override { return kept_.reread(); }
    // The card is in this process: its identity costs no exchange.
    std::optional<std::array<uint8_t, 8>> knownCardIdentity() override {
        if (kept_.card() == nullptr) return std::nullopt;
        return kept_.card()->identity();
    }
    ReaderStatus reconnect() override { return kept_.card() == nullptr ? ReaderStatus::noCard : ReaderStatus::ok; }
    void waitForChange(std::chrono::milliseconds timeout) override;
    void cancelWait() override;

    const std::filesystem::path& cardFile() const { return kept_.file(); }
    // Why the card file could not be read or saved; empty when it could.
    const std::string& problem() const { return kept_.problem(); }

private:
    void reportProblem();

    sim::KeptCard kept_;
    std::mutex waitMutex_;
    std::condition_variable waitEnd_;
    bool waitCancelled_ = false;
};

}  // namespace korva::host
