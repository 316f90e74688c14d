#include "sim/kept_card.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sim/internal/sealing.h"

namespace korva::sim {
namespace {

// A card made here because its file was missing derives PIN keys at the
// cost KORVA_CARD_PIN_COST names (1 to 20; the test suites set 1), else at
// the card's default.
CardOptions freshCardOptions() {
  CardOptions options;
  const char* cost = std::getenv("KORVA_CARD_PIN_COST");
  const long value = cost == nullptr ? 0 : std::strtol(cost, nullptr, 10);
  if (value >= minKdfLog2N && value <= maxKdfLog2N)
    options.pinKeyCost = static_cast<uint8_t>(value);
  return options;
}

}  // namespace

KeptCard::KeptCard(std::filesystem::path cardFile) : file_(std::move(cardFile)) {
  std::error_code error;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), error);
  const std::string lockPath = file_.string() + ".lock";
  lockDescriptor_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // Under the lock, so that of two processes starting at once only one
  // makes the fresh card and the other loads it.
  lockFile();
  std::string creationProblem;
  if (!std::filesystem::exists(file_, error) && !error) {
    try {
      VirtualCard::makeFresh(freshCardOptions()).save(file_);
    } catch (const std::exception& failure) {
      creationProblem = failure.what();
    }
  }
  load();
  if (card_ == nullptr && !creationProblem.empty())
    problem_ = creationProblem;  // says more than "missing"
  unlockFile();
}

KeptCard::~KeptCard() {
  if (lockDescriptor_ >= 0) ::close(lockDescriptor_);
}

void KeptCard::lockFile() {
  if (lockDescriptor_ < 0) return;
  while (::flock(lockDescriptor_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void KeptCard::unlockFile() {
  if (lockDescriptor_ >= 0) ::flock(lockDescriptor_, LOCK_UN);
}

std::optional<KeptCard::Stamp> KeptCard::stampOnDisk() const {
  std::error_code error;
  Stamp stamp;
  stamp.time = std::filesystem::last_write_time(file_, error);
  if (error) return std::nullopt;
  stamp.size = std::filesystem::file_size(file_, error);
  if (error) return std::nullopt;
  return stamp;
}

void KeptCard::load() {
  const std::optional<Stamp> stamp = stampOnDisk();
  try {
    card_ = std::make_unique<VirtualCard>(VirtualCard::load(file_));
    loaded_ = stamp;
    savedRevision_ = card_->revision();
    problem_.clear();
    problemKnown_ = false;
  } catch (const std::exception& failure) {
    card_.reset();
    loaded_.reset();
    problem_ = failure.what();
    if (!problemKnown_ || problemStamp_ != stamp) newProblem_ = true;
    problemKnown_ = true;
    problemStamp_ = stamp;
  }
}

void KeptCard::take() {
  lockFile();
  reread_ = card_ == nullptr || stampOnDisk() != loaded_;
  if (reread_) load();
}

bool KeptCard::give() {
  bool saved = true;
  if (card_ != nullptr && card_->revision() != savedRevision_) {
    try {
      card_->save(file_);
      loaded_ = stampOnDisk();
      savedRevision_ = card_->revision();
    } catch (const std::exception& failure) {
      loaded_.reset();
      problem_ = failure.what();
      saved = false;
    }
  }
  unlockFile();
  return saved;
}

}  // namespace korva::sim
