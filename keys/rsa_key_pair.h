// RSA key pairs of 1024 bits, kept in the key pair's body files numbered
// after the public key's record n: the card key object 61 nn (key reference
// 0x60 + n) and, when the private key may decrypt, the 128-byte private
// exponent in E1 nn. Such a key is made in software and loaded, so that the
// exponent can be kept; any other is made by the card.
#pragma once

#include "keys/key_pair_store.h"
#include "keys/key_pair_templates.h"

#include <cstddef>

namespace korva::keys {

// Only a card that keeps producing keys whose modulus is short of 1024 bits
// makes the generation repeat (a software key always has its top bit set);
// after this many tries the generation gives up with CKR_DEVICE_ERROR.
inline constexpr std::size_t kRsaGenerationAttempts = 8;

// The card's public-key answer for an RSA key: an 8-byte exponent, then the
// 128-byte modulus.
inline constexpr std::size_t kRsaPublicKeyAnswer = 8 + 128;

// The whole RSA path of slot 20, up to but not including the counters.
CK_RV generateRsaKeyPair(const HostContext& host, const abi::LoginRecord* login, const token::TokenSettings& settings,
                         std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                         const KeyPairOutputs& outputs) noexcept;

}  // namespace korva::keys
