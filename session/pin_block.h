// The 8-byte block in which a PIN travels to the card: the PIN characters
// followed by 0xFF bytes. Every holder of a block wipes it on release.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korva::token {

inline constexpr std::size_t kPinBlockSize = 8;
inline constexpr std::size_t kMinPinLength = 4;
inline constexpr std::size_t kMaxPinLength = 8;

class PinBlock final {
public:
    // Nothing when the PIN is longer than the block.
    static std::optional<PinBlock> fromPin(std::span<const uint8_t> pin) noexcept;

    PinBlock(const PinBlock& other) noexcept = default;
    PinBlock& operator=(const PinBlock& other) noexcept = default;
    ~PinBlock();

    std::span<const uint8_t, kPinBlockSize> bytes() const noexcept { return block_; }

private:
    PinBlock() noexcept = default;
    std::array<uint8_t, kPinBlockSize> block_{};
};

// True when `length` lies in the 4..8 range the card accepts for a new PIN.
constexpr bool isAcceptablePinLength(std::size_t length) noexcept {
    return length >= kMinPinLength && length <= kMaxPinLength;
}

}  // namespace korva::token
