// A virtual card kept in a card file that several processes share: the
// library's built-in reader and the card program behind the virtual PC/SC
// reader both hold their card this way.
//
// A missing card file is created at once as a factory-fresh card. Work on
// the card is bracketed by take() and give(): take() holds an advisory lock
// on "<card file>.lock" and reads the file again when another process saved
// it in between; give() saves the card when a command changed what the file
// holds (VirtualCard::revision moved; written to a temporary file beside it,
// synced and renamed over it, so a crash never leaves half a card) and lets
// the lock go. A card file that cannot be read leaves no card and is never
// overwritten.
#pragma once

#include "sim/virtual_card.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace korva::sim {

class KeptCard final {
 public:
  explicit KeptCard(std::filesystem::path cardFile);
  ~KeptCard();
  KeptCard(const KeptCard&) = delete;
  KeptCard& operator=(const KeptCard&) = delete;

  void take();
  // Whether the last take() read the file again: another process saved it
  // (and so had the card) since this process last held it, or the card had
  // not been read yet.
  bool reread() const { return reread_; }
  // False when a changed card could not be saved: the file keeps its old
  // content and the next take() reads it again, so the process never runs
  // on with a card that differs from its file.
  bool give();

  // The card, or null when the file cannot be read.
  VirtualCard* card() { return card_.get(); }
  const std::filesystem::path& file() const { return file_; }
  // What went wrong with the last read or save; empty when nothing did.
  const std::string& problem() const { return problem_; }
  // True once for each state of an unreadable file (every take() reads it
  // again, since it may have been mended): when to tell the user.
  bool takeNewProblem() { return std::exchange(newProblem_, false); }

 private:
  struct Stamp {
    std::filesystem::file_time_type time{};
    std::uintmax_t size = 0;
    bool operator==(const Stamp&) const = default;
  };
  std::optional<Stamp> stampOnDisk() const;
  void load();
  void lockFile();
  void unlockFile();

  std::filesystem::path file_;
  int lockDescriptor_ = -1;  // the lock file; -1 when it cannot be opened (a read-only folder)
  std::unique_ptr<VirtualCard> card_;
  std::optional<Stamp> loaded_;
  uint64_t savedRevision_ = 0;
  std::string problem_;
  bool newProblem_ = false;
  bool reread_ = true;
  bool problemKnown_ = false;  // the file's trouble was noted for the state problemStamp_
  std::optional<Stamp> problemStamp_;
};

}  // namespace korva::sim
