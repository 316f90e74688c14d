// The credential the card keeps under reference 09: derived from the
// security officer's PIN, so that the card can check it without the module
// ever storing the SO PIN itself.
#pragma once

#include "session/pin_block.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace korva::token {

inline constexpr std::size_t kCredentialSize = 24;

// 24 bytes that wipe themselves on release.
struct Credential final {
    Credential() noexcept = default;
    Credential(const Credential&) = delete;
    Credential& operator=(const Credential&) = delete;
    ~Credential();

    std::array<uint8_t, kCredentialSize> bytes{};
};

// PBKDF2-HMAC-SHA1, 4096 iterations, password = the SO PIN block, salt =
// the complemented block mixed with the module's constant. False only when
// the cryptographic library fails.
bool deriveCredential(const PinBlock& soPin, Credential& out) noexcept;

}  // namespace korva::token
