// The built-in reader: a virtual card kept in a card file.
//
// A missing card file is created at once as a factory-fresh card. The card is
// saved after every library call that changed it (written to a temporary
// file beside it, synced and renamed over it, so a crash never leaves half a
// card), and read again at the start of a call when another process saved it
// in between. Processes take turns: a call holds an advisory lock on
// "<card file>.lock" from reading to saving, so that two processes never
// work on the same card state at once and neither loses the other's change.
// A card file that cannot be read leaves the slot without a card and is
// never overwritten; one line on standard error (and so in the trace) says
// which file, what is wrong with it and that it was left as it is, once for
// each state of the file.
#pragma once

#include "host/reader.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <set>

namespace korva::sim {
class VirtualCard;
}

namespace korva::host {

class VirtualCardReader final : public Reader {
public:
    explicit VirtualCardReader(std::filesystem::path cardFile);
    ~VirtualCardReader() override;

    std::string description() const override;
    bool cardPresent() const override { return card_ != nullptr; }
    uint32_t transmit(std::span<const uint8_t> command, uint8_t* response, uint32_t* responseLength,
                      uint8_t& sw1, uint8_t& sw2) override;
    void beginCall() override;
    void endCall() override;

    const std::filesystem::path& cardFile() const { return file_; }

private:
    struct Stamp {
        std::filesystem::file_time_type time{};
        std::uintmax_t size = 0;
        bool operator==(const Stamp&) const = default;
    };
    std::optional<Stamp> stampOnDisk() const;
    void load();
    void reportUnusable(const std::optional<Stamp>& stamp, const char* problem);
    void noteVerify(std::span<const uint8_t> command, bool verified);

    void lockFile();
    void unlockFile();

    std::filesystem::path file_;
    int lockDescriptor_ = -1;  // the lock file; -1 when it cannot be opened (a read-only folder)
    std::unique_ptr<sim::VirtualCard> card_;
    std::optional<Stamp> loaded_;
    bool reported_ = false;  // the file's trouble was reported, for the state reportedStamp_
    std::optional<Stamp> reportedStamp_;
    bool changed_ = false;
    std::set<uint8_t> fullCounters_;  // PIN references whose retry counter is known to be full
};

}  // namespace korva::host
