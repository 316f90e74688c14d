#include "sim/internal/access.h"

#include <optional>

namespace korva::sim {
namespace {

constexpr uint8_t soPinReference = 0x05;
constexpr uint8_t userPinReference = 0x07;
constexpr uint8_t credentialReference = 0x09;

// The byte of the security attributes that guards `operation`; nothing when
// the operation does not apply to that kind of file.
std::optional<std::size_t> attributeIndex(const FileNode& file, Operation operation) {
  switch (operation) {
    case Operation::deleteFile: return 2;
    case Operation::read:
    case Operation::verify:
    case Operation::loadKey: return 3;
    case Operation::update:
    case Operation::useKey:
      return file.isDirectory() ? std::nullopt : std::optional<std::size_t>{4};
    case Operation::createChild:
      return file.isDirectory() ? std::optional<std::size_t>{4} : std::nullopt;
    case Operation::append:
    case Operation::changeReference: return 5;
    case Operation::resetRetryCounter: return 6;
  }
  return std::nullopt;
}

bool isAlways(uint8_t condition) { return condition == 0x00 || condition == 0x10; }

bool isSatisfied(const CardState& card, uint8_t condition) {
  const auto verified = [&](uint8_t reference) {
    return card.verifiedReferences.count(reference) != 0;
  };
  if (isAlways(condition)) return true;
  switch (condition) {
    case 0x05: return verified(soPinReference);
    case 0x07:
    case 0x12: return verified(userPinReference);
    case 0x09: return verified(credentialReference);
    default: return false;  // FF and every value without a meaning: never
  }
}

bool needsSecret(const FileNode& file, Operation operation) {
  switch (operation) {
    case Operation::read:
    case Operation::update: return isConfidentialBody(file);
    case Operation::loadKey:
    case Operation::useKey: return file.isKeyFile() && !file.isPinObject();
    default: return false;
  }
}

}  // namespace

bool isConfidentialBody(const FileNode& file) {
  const uint8_t descriptor = file.descriptor();
  if (descriptor != descriptorTransparent && descriptor != descriptorInternal) return false;
  return file.securityAttributes.size() > 3 && !isAlways(file.securityAttributes[3]);
}

bool isAllowed(const CardState& card, const FileNode& file, Operation operation) {
  if (!card.storageKey && needsSecret(file, operation)) return false;
  if (file.lifeCycle != lifeCycleOperational) return true;
  const auto index = attributeIndex(file, operation);
  if (!index) return false;
  if (*index >= file.securityAttributes.size()) return true;
  return isSatisfied(card, file.securityAttributes[*index]);
}

}  // namespace korva::sim
