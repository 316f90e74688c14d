// The card's random number source.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace korva::sim {

// The operating system's generator, or, with a seed, the fixed sequence
// SHA-256(seed ‖ counter) for reproducible tests.
class RandomSource {
 public:
  RandomSource() = default;
  explicit RandomSource(std::optional<uint64_t> seed, uint64_t counter = 0)
      : seed_(seed), counter_(counter) {}

  // false when the generator failed; `out` is then unspecified.
  bool fill(std::span<uint8_t> out);

  std::optional<uint64_t> seed() const { return seed_; }
  uint64_t counter() const { return counter_; }

 private:
  std::optional<uint64_t> seed_;
  uint64_t counter_ = 0;
};

}  // namespace korva::sim
