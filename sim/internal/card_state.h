// Everything the virtual card holds: what survives in the card file (options,
// identity, file tree, PINs) and what a reset clears (security state, current
// file, pending answers, unfinished chains).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/internal/file_system.h"
#include "sim/internal/random.h"
#include "sim/internal/sealing.h"
#include "sim/internal/security_environment.h"
#include "sim/virtual_card.h"

namespace korva::sim {

// The longest command the card reassembles from ENVELOPE pieces or a CLA 10
// chain.
inline constexpr std::size_t maxAssembledCommand = 4096;

struct CommandChain {
  uint8_t cla = 0;  // chaining bit cleared
  uint8_t ins = 0;
  uint8_t p1 = 0;
  uint8_t p2 = 0;
  std::vector<uint8_t> data;
};

struct CardState {
  CardOptions options;
  std::array<uint8_t, 8> identity{};
  FileSystem files;
  RandomSource random;
  uint64_t revision = 0;  // see VirtualCard::revision; not saved

  // In memory only: the storage key while the card is open (see secrets.h),
  // what this process learnt of the PINs, and why the last opening failed.
  std::optional<WipedBytes> storageKey;
  PinKeys pinKeys;
  std::string damage;

  // Volatile: cleared by a reset.
  std::set<uint8_t> verifiedReferences;  // PIN references verified since the last reset
  std::vector<uint8_t> pendingResponse;  // for GET RESPONSE
  std::vector<uint8_t> envelope;         // ENVELOPE pieces received so far
  std::optional<CommandChain> chain;
  SecurityEnvironment environment;

  // Folders that report another free memory than the card's (tests only).
  std::map<uint16_t, uint32_t> reportedFreeMemory;

  uint32_t freeMemory() const;
  // What the control information of `node` reports as free memory.
  uint32_t freeMemoryReportedBy(const FileNode& node) const;
  void resetVolatile();
};

}  // namespace korva::sim
