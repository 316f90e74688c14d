// The virtual card: a VELTAR card with the KORVA core, in memory.
//
// It answers command APDUs the way the token module expects the card to:
// an ISO 7816-4 file system with the card's FCP answers, memory accounting,
// PIN objects and the proprietary commands the module uses. Its whole state
// saves to a card file and loads back. sim/README.md documents the commands,
// status words, memory accounting and card-file format.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korva::sim {

struct CardOptions {
  // Total memory for file bodies, records and key objects (4 KiB to 16 MiB).
  uint32_t memorySize = 0x12000;
  // true: GOST R 34.10-2012 support; false: a GOST R 34.10-2001-only card.
  bool gost2012 = true;
  // The 8-byte card identity; random when not given.
  std::optional<std::array<uint8_t, 8>> identity;
  // Makes the card's random numbers (identity, GET CHALLENGE) a fixed
  // sequence, for reproducible tests; the operating system's generator when
  // not given.
  std::optional<uint64_t> randomSeed;
  // The cost of deriving a key from a PIN (scrypt, N = 2^pinKeyCost, r 8,
  // p 1), 1 to 20: 15 takes about 100 ms and 32 MiB. Every VERIFY that this
  // process has not seen succeed with that PIN pays it, and so does every
  // PIN change; tests set it low.
  uint8_t pinKeyCost = 15;
};

struct Answer {
  std::vector<uint8_t> data;  // at most 256 bytes
  uint8_t sw1 = 0;
  uint8_t sw2 = 0;

  uint16_t statusWord() const { return static_cast<uint16_t>(sw1 << 8 | sw2); }
};

struct CardState;

class VirtualCard {
 public:
  // A factory-fresh card: master file, application directory A1 BC, the
  // PIN directory 05 1F with the factory PINs and the data directory 05 1E.
  // Throws std::invalid_argument for options outside their ranges.
  static VirtualCard makeFresh(const CardOptions& options = {});
  // Throws std::runtime_error when the file is missing, damaged, not a card
  // file or of a newer format. A card file of the first format (PINs and
  // keys in the clear) is sealed and written back at once. The loaded card
  // is sealed: its secrets open with the first right VERIFY.
  // `firstFormatPinKeyCost`: the cost of the PIN wraps made for a card file
  // of the first format (which has none); tests set it low.
  static VirtualCard load(const std::filesystem::path& cardFile,
                          uint8_t firstFormatPinKeyCost = CardOptions{}.pinKeyCost);
  // Writes a temporary file next to `cardFile`, syncs it and renames it over
  // `cardFile`. Throws std::runtime_error on failure (the old file stays).
  void save(const std::filesystem::path& cardFile) const;

  // One command APDU in, one answer out. Never throws; malformed commands
  // get an ISO 7816-4 error status.
  Answer transmit(std::span<const uint8_t> apdu) noexcept;
  // Card reset: clears the security state, pending answers and chains,
  // selects the master file, and seals the secrets again (the storage key
  // goes; what this process learnt of the PINs stays).
  void reset();

  // Counts the commands that may have changed what the card file holds
  // (files, records, keys, PIN values and retry counters); a reader saves
  // the card when it moved. Loading starts it at 0.
  uint64_t revision() const;

  // Inspection for tests and tools.
  std::array<uint8_t, 8> identity() const;
  const CardOptions& options() const;
  uint32_t freeMemory() const;
  // A real card may keep memory per folder, so that two folders report
  // different free memory in their control information. From now on the
  // folder `folderFid` reports `bytes` (not kept in the card file); the
  // others keep reporting the card's free memory.
  void reportFreeMemory(uint16_t folderFid, uint32_t bytes);
  // A canonical text dump of the whole file tree: identifiers, descriptors,
  // life cycles, security attributes, bodies, records, data objects, PIN
  // counters. Equal dumps mean equal file systems.
  std::string dumpTree() const;
  // Why the last right VERIFY could not open the card's secrets (a sealed
  // value that does not authenticate: VERIFY then answers 65 81); empty
  // when nothing is wrong.
  std::string damage() const;

  VirtualCard(const VirtualCard& other);
  VirtualCard& operator=(const VirtualCard& other);
  VirtualCard(VirtualCard&&) noexcept;
  VirtualCard& operator=(VirtualCard&&) noexcept;
  ~VirtualCard();

 private:
  explicit VirtualCard(std::unique_ptr<CardState> state);
  std::unique_ptr<CardState> state_;
};

}  // namespace korva::sim
