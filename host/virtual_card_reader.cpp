#include "host/virtual_card_reader.h"

#include "host/card_commands.h"
#include "host/trace.h"

#include "sim/virtual_card.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korva::host {
namespace {

// VERIFY is handled apart from the other commands: its retry counters must
// survive a crash.
constexpr uint8_t kVerify = 0x20;

}  // namespace

VirtualCardReader::VirtualCardReader(std::filesystem::path cardFile) : file_(std::move(cardFile)) {
    std::error_code error;
    if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), error);
    const std::string lockPath = file_.string() + ".lock";
    lockDescriptor_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Under the lock, so that of two processes starting at once only one
    // makes the fresh card and the other loads it.
    lockFile();
    if (!std::filesystem::exists(file_, error) && !error) {
        try {
            sim::VirtualCard::makeFresh().save(file_);
        } catch (const std::exception& failure) {
            reportUnusable(std::nullopt, failure.what());  // the load below fails the same way, silently
        }
    }
    load();
    unlockFile();
}

VirtualCardReader::~VirtualCardReader() {
    if (lockDescriptor_ >= 0) ::close(lockDescriptor_);
}

void VirtualCardReader::lockFile() {
    if (lockDescriptor_ < 0) return;
    while (::flock(lockDescriptor_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void VirtualCardReader::unlockFile() {
    if (lockDescriptor_ >= 0) ::flock(lockDescriptor_, LOCK_UN);
}

std::string VirtualCardReader::description() const {
    std::string text = "Virtual card " + file_.filename().string();
    return text.substr(0, 64);
}

std::optional<VirtualCardReader::Stamp> VirtualCardReader::stampOnDisk() const {
    std::error_code error;
    Stamp stamp;
    stamp.time = std::filesystem::last_write_time(file_, error);
    if (error) return std::nullopt;
    stamp.size = std::filesystem::file_size(file_, error);
    if (error) return std::nullopt;
    return stamp;
}

void VirtualCardReader::load() {
    const std::optional<Stamp> stamp = stampOnDisk();
    try {
        card_ = std::make_unique<sim::VirtualCard>(sim::VirtualCard::load(file_));
        loaded_ = stamp;
        fullCounters_.clear();
        reported_ = false;
    } catch (const std::exception& error) {
        card_.reset();
        loaded_.reset();
        reportUnusable(stamp, error.what());
    }
}

// Every call reads an unusable file again (it may have been mended): the
// report is made once for each state of the file, not once per call.
void VirtualCardReader::reportUnusable(const std::optional<Stamp>& stamp, const char* problem) {
    if (reported_ && reportedStamp_ == stamp) return;
    reported_ = true;
    reportedStamp_ = stamp;
    trace::notice("card file " + file_.string() + " cannot be used (" + problem +
                  "); it was left as it is and the slot shows no card");
}

// A PIN presentation changes the card only when it moves a retry counter: a
// wrong PIN lowers it, the right one restores it unless it is known to be
// full already (restored by an earlier presentation of this process's card
// state). Signing presents the PIN every time; saving the card for each
// signature would cost a file write and sync per signature.
void VirtualCardReader::noteVerify(std::span<const uint8_t> command, bool verified) {
    if (command.size() <= 5) return;  // a retry-counter query
    const uint8_t reference = command[3];
    if (!verified) {
        changed_ = true;
        fullCounters_.erase(reference);
    } else if (fullCounters_.insert(reference).second) {
        changed_ = true;
    }
}

void VirtualCardReader::beginCall() {
    lockFile();
    changed_ = false;
    if (card_ == nullptr || stampOnDisk() != loaded_) load();
}

void VirtualCardReader::endCall() {
    if (changed_ && card_ != nullptr) {
        changed_ = false;
        try {
            card_->save(file_);
            loaded_ = stampOnDisk();
        } catch (const std::exception&) {
            // The old file stays as it was; the next call reads it again, so
            // the process does not run on with a card that differs from its file.
            loaded_.reset();
        }
    }
    unlockFile();
}

uint32_t VirtualCardReader::transmit(std::span<const uint8_t> command, uint8_t* response,
                                     uint32_t* responseLength, uint8_t& sw1, uint8_t& sw2) {
    if (card_ == nullptr) return kNoCard;
    const sim::Answer answer = card_->transmit(command);
    if (command.size() >= 4 && command[1] == kVerify) {
        noteVerify(command, answer.statusWord() == 0x9000);
    } else if (!leavesCardContentAlone(command)) {
        changed_ = true;
    }
    if (answer.data.size() > *responseLength) return kAnswerTooLong;
    if (!answer.data.empty()) std::memcpy(response, answer.data.data(), answer.data.size());
    *responseLength = static_cast<uint32_t>(answer.data.size());
    sw1 = answer.sw1;
    sw2 = answer.sw2;
    return 0;
}

}  // namespace korva::host
