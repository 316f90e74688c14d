// How the card file keeps secrets: every secret the card holds is sealed
// with AES-256-GCM under one random storage key per card, and the storage
// key itself is kept only wrapped, once under a key derived from each PIN
// with scrypt (slow and memory-hard, so that a copied card file does not
// give its PINs away to a fast guesser).
//
// A PIN wrap: cost (log2 N, r, p: one byte each) | salt (16) | the storage
// key sealed under the derived key. Its cost travels with it, so that a
// later card can raise the cost of new wraps and still open old ones.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "common/wiped_bytes.h"

namespace korva::sim {

inline constexpr std::size_t storageKeyLength = 32;
// A sealed value: nonce (12) | cipher text (as long as the plain text) | tag (16).
inline constexpr std::size_t sealOverhead = 12 + 16;
inline constexpr std::size_t pinWrapLength = 3 + 16 + sealOverhead + storageKeyLength;

struct KdfCost {
  uint8_t log2N = 15;  // scrypt's N = 2^log2N: about 100 ms and 32 MiB per derivation
  uint8_t blockSize = 8;
  uint8_t parallelism = 1;
};
// Costs a card accepts in a wrap (and as the option for new wraps): a
// damaged or hostile file must not make the card allocate gigabytes.
inline constexpr uint8_t minKdfLog2N = 1;
inline constexpr uint8_t maxKdfLog2N = 20;

// A fresh random storage key; empty when the generator fails.
WipedBytes newStorageKey();

// `plain` sealed under `key`, bound to `context` (authenticated, not
// stored): a sealed value moved to another place of the file does not open.
std::vector<uint8_t> sealValue(std::span<const uint8_t> key, std::span<const uint8_t> plain,
                               std::span<const uint8_t> context);
// Nothing when the value is too short or does not authenticate.
std::optional<WipedBytes> openValue(std::span<const uint8_t> key, std::span<const uint8_t> sealed,
                                    std::span<const uint8_t> context);

// The cost a wrap names, when the wrap is well formed and the cost within
// what the card accepts.
std::optional<KdfCost> wrapCost(std::span<const uint8_t> wrap);

// What the card knows about its PINs while it runs, in process memory only:
// for each wrap a successful VERIFY or a PIN change opened, the key derived
// from the PIN and a MAC of the PIN under a random key of this object. A
// later VERIFY with the same PIN is checked against that MAC (constant time)
// and opens the wrap without a second derivation; any other PIN pays the
// full derivation, so a wrong PIN and a different one take the same time.
class PinKeys {
 public:
  PinKeys();

  // The storage key `wrap` holds, when `pin` opens it.
  std::optional<WipedBytes> open(std::span<const uint8_t> wrap, std::span<const uint8_t> pin,
                                 std::span<const uint8_t> context);
  // A new wrap of `storageKey` under `pin` (a fresh salt, one derivation);
  // empty on failure.
  std::vector<uint8_t> wrap(std::span<const uint8_t> pin, std::span<const uint8_t> storageKey,
                            const KdfCost& cost, std::span<const uint8_t> context);
  // `wrap` made again around another storage key, with the derived key an
  // earlier open() or wrap() left; nothing when this process has not seen
  // the PIN of that wrap.
  // Whether rewrap() can renew `wrap`.
  bool knows(std::span<const uint8_t> wrap) const;
  std::optional<std::vector<uint8_t>> rewrap(std::span<const uint8_t> wrap,
                                             std::span<const uint8_t> storageKey,
                                             std::span<const uint8_t> context);

 private:
  struct Known {
    std::vector<uint8_t> wrap;
    std::array<uint8_t, 32> pinMac{};
    WipedBytes derivedKey;
  };
  // Salts in byte order, compared byte by byte: GCC 12 at -O3 takes the
  // library's own vector comparison for an over-long memcmp and stops the
  // release build (-Werror=stringop-overread).
  struct SaltOrder {
    bool operator()(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const {
      for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) return a[i] < b[i];
      return a.size() < b.size();
    }
  };
  using Entries = std::map<std::vector<uint8_t>, Known, SaltOrder>;  // by salt
  // The entry of exactly this wrap, or end().
  Entries::iterator find(std::span<const uint8_t> wrap);
  std::array<uint8_t, 32> pinMac(std::span<const uint8_t> pin) const;
  void remember(std::vector<uint8_t> wrap, std::span<const uint8_t> pin, WipedBytes derivedKey);

  WipedBytes macKey_;
  Entries known_;
};

}  // namespace korva::sim
