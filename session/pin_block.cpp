#include "session/pin_block.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace korva::token {

std::optional<PinBlock> PinBlock::fromPin(std::span<const uint8_t> pin) noexcept {
    if (pin.size() > kPinBlockSize) return std::nullopt;
    PinBlock block;
    block.block_.fill(0xFF);
    std::copy(pin.begin(), pin.end(), block.block_.begin());
    return block;
}

PinBlock::~PinBlock() { OPENSSL_cleanse(block_.data(), block_.size()); }

}  // namespace korva::token
