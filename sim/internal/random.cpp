#include "sim/internal/random.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>

namespace korva::sim {

bool RandomSource::fill(std::span<uint8_t> out) {
  if (!seed_) {
    return out.empty() || RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
  }
  std::size_t offset = 0;
  while (offset < out.size()) {
    std::array<uint8_t, 16> input{};
    for (int i = 0; i < 8; ++i) {
      input[static_cast<std::size_t>(i)] = static_cast<uint8_t>(*seed_ >> (56 - 8 * i));
      input[static_cast<std::size_t>(8 + i)] = static_cast<uint8_t>(counter_ >> (56 - 8 * i));
    }
    ++counter_;
    std::array<uint8_t, SHA256_DIGEST_LENGTH> block{};
    SHA256(input.data(), input.size(), block.data());
    const std::size_t take = std::min(block.size(), out.size() - offset);
    std::copy_n(block.begin(), take, out.begin() + static_cast<std::ptrdiff_t>(offset));
    offset += take;
  }
  return true;
}

}  // namespace korva::sim
