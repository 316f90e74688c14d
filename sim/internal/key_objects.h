// The card's key objects: where keys live, how their material is held in a
// key file and how a key reference names them.
//
// - GOST key objects F0 ss in the key directory 05 1F, made by the card's own
//   generator: kind byte 21, reference ss, material 'G' ‖ curve code ‖
//   private key (big-endian).
// - RSA key files (kind 22, usually 61 nn with reference 0x60 + n): material
//   as LOAD KEY MATERIAL delivers it, an 8-byte public exponent, the 128-byte
//   modulus and, for a key pair, the 128-byte private exponent. The card's
//   own generator stores a pair the same way.
// - Secret key files (key class 08 in A5/86, usually 63 nn with reference
//   0x50 + n): algorithm byte A5/85 02 DES, 03 two-key triple DES, 04 AES
//   with A5/8F 00, 01, 02 for 16-, 24- and 32-byte keys; material an 8-byte
//   header and the key, or the key alone.
#pragma once

#include "sim/crypto/gost_key.h"
#include "sim/crypto/rsa_key.h"
#include "common/wiped_bytes.h"

#include <cstdint>
#include <optional>
#include <variant>

#include "sim/internal/card_state.h"

namespace korva::sim {

inline constexpr uint16_t keyDirectoryId = 0x051F;
inline constexpr uint16_t keyObjectBase = 0xF000;
inline constexpr uint8_t keyKindGost = 0x21;
inline constexpr uint8_t keyKindRsa = 0x22;

enum class SecretAlgorithm { des, des2, aes };

struct SecretKey {
  SecretAlgorithm algorithm = SecretAlgorithm::des;
  WipedBytes value;  // 8, 16, 24 or 32 bytes

  std::size_t blockSize() const { return algorithm == SecretAlgorithm::aes ? 16 : 8; }
};

bool isGostKeyObject(const FileNode& file);
bool isRsaKeyFile(const FileNode& file);
bool isSecretKeyFile(const FileNode& file);

// The key a key file holds; nothing when it holds none of that family or its
// material does not make a usable key.
std::optional<crypto::GostKeyPair> gostKeyOf(const FileNode& file);
std::optional<crypto::RsaKey> rsaKeyOf(const FileNode& file);
std::optional<SecretKey> secretKeyOf(const FileNode& file);

// An RSA pair in the card's stored form (exponent, modulus, private exponent).
WipedBytes rsaMaterial(const crypto::RsaKey& key);

// The key file (not a PIN object) whose reference is `reference`: in the
// current directory, the directories above it, and last the key directory.
std::optional<Location> findKeyByReference(const FileSystem& files, uint8_t reference);

// The key file a security environment entry names; on failure the status
// word: 69 85 when the environment names no key, 6A 88 when the key file has
// gone since.
std::variant<FileNode*, uint16_t> environmentKey(CardState& card,
                                                 const std::optional<Location>& key);

// The key directory 05 1F, when it exists.
FileNode* keyDirectory(FileSystem& files);

}  // namespace korva::sim
