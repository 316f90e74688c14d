#include "sim/internal/key_objects.h"

#include "sim/internal/apdu.h"

#include <algorithm>

namespace korva::sim {
namespace {

constexpr uint8_t algorithmDes = 0x02;
constexpr uint8_t algorithmDes2 = 0x03;
constexpr uint8_t algorithmAes = 0x04;
constexpr std::size_t materialHeader = 8;  // the short value in front of a key

std::optional<std::size_t> secretKeyLength(const FileNode& file, SecretAlgorithm& algorithm) {
  switch (file.proprietaryByte(0x85).value_or(0)) {
    case algorithmDes: algorithm = SecretAlgorithm::des; return 8;
    case algorithmDes2: algorithm = SecretAlgorithm::des2; return 16;
    case algorithmAes: {
      algorithm = SecretAlgorithm::aes;
      const uint8_t variant = file.proprietaryByte(0x8F).value_or(0);
      if (variant > 2) return std::nullopt;
      return 16 + 8 * std::size_t{variant};
    }
    default: return std::nullopt;
  }
}

}  // namespace

bool isGostKeyObject(const FileNode& file) {
  return file.isKeyFile() && file.proprietaryByte(0x85) == keyKindGost;
}

bool isRsaKeyFile(const FileNode& file) {
  return file.isKeyFile() && file.proprietaryByte(0x85) == keyKindRsa;
}

bool isSecretKeyFile(const FileNode& file) {
  return file.isKeyFile() && file.proprietaryByte(0x86) == keyClassSecret;
}

std::optional<crypto::GostKeyPair> gostKeyOf(const FileNode& file) {
  if (!isGostKeyObject(file) || file.secret.empty()) return std::nullopt;
  return crypto::GostKeyPair::deserialize(file.secret);
}

std::optional<crypto::RsaKey> rsaKeyOf(const FileNode& file) {
  constexpr std::size_t publicPart = crypto::kRsaExponentBytes + crypto::kRsaModulusBytes;
  if (!isRsaKeyFile(file)) return std::nullopt;
  const std::span<const uint8_t> material = file.secret;
  if (material.size() != publicPart && material.size() != publicPart + crypto::kRsaModulusBytes)
    return std::nullopt;
  // The exponent field is an 8-byte big-endian number, as READ PUBLIC KEY
  // answers it; a value written from the left reads as a huge even number,
  // which is no key.
  return crypto::RsaKey::fromComponents(
      material.first(crypto::kRsaExponentBytes),
      material.subspan(crypto::kRsaExponentBytes, crypto::kRsaModulusBytes),
      material.subspan(publicPart));
}

std::optional<SecretKey> secretKeyOf(const FileNode& file) {
  if (!isSecretKeyFile(file)) return std::nullopt;
  SecretKey key;
  const auto length = secretKeyLength(file, key.algorithm);
  if (!length) return std::nullopt;
  const std::span<const uint8_t> material = file.secret;
  if (material.size() != *length && material.size() != materialHeader + *length)
    return std::nullopt;
  const auto value = material.last(*length);
  key.value.assign(value.begin(), value.end());
  return key;
}

WipedBytes rsaMaterial(const crypto::RsaKey& key) {
  // The serial form is 'R', a private-part flag, then exactly the stored form.
  WipedBytes serial = key.serialize();
  if (serial.size() < 2) return {};
  return WipedBytes(serial.begin() + 2, serial.end());
}

std::optional<Location> findKeyByReference(const FileSystem& files, uint8_t reference) {
  const auto search = [&](const Location& directoryLocation) -> std::optional<Location> {
    const FileNode* directory = files.at(directoryLocation);
    if (directory == nullptr) return std::nullopt;
    for (const FileNode& node : directory->children) {
      if (node.isKeyFile() && !node.isPinObject() && node.reference() == reference)
        return Location{directoryLocation.directories, node.fid};
    }
    return std::nullopt;
  };
  Location location = files.currentDirectoryLocation();
  for (;;) {
    if (auto found = search(location)) return found;
    if (location.directories.empty()) break;
    location.directories.pop_back();
  }
  return search(Location{{keyDirectoryId}, std::nullopt});
}

std::variant<FileNode*, uint16_t> environmentKey(CardState& card,
                                                 const std::optional<Location>& key) {
  if (!key) return sw::conditionsNotSatisfied;
  FileNode* file = card.files.at(*key);
  if (file == nullptr) return sw::referenceNotFound;
  return file;
}

FileNode* keyDirectory(FileSystem& files) {
  FileNode* directory = files.root.child(keyDirectoryId);
  return directory != nullptr && directory->isDirectory() ? directory : nullptr;
}

}  // namespace korva::sim
