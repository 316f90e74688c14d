// VERIFY, CHANGE REFERENCE DATA (also LOAD KEY MATERIAL into a key file) and
// RESET RETRY COUNTER. PIN objects are key files of kind 03 whose reference
// (tag 87) is what P2 names; the security state is the set of references
// verified since the last reset.
#include <openssl/crypto.h>

#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/memory.h"

namespace korva::sim {
namespace {

constexpr std::size_t maxPinLength = 32;

// The PIN object with `reference` in the current directory or, failing
// that, in the nearest directory above it.
FileNode* findPin(CardState& card, uint8_t reference) {
  Location location = card.files.currentDirectoryLocation();
  for (;;) {
    if (FileNode* directory = card.files.at(location)) {
      for (FileNode& node : directory->children)
        if (node.isPinObject() && node.reference() == reference) return &node;
    }
    if (location.directories.empty()) return nullptr;
    location.directories.pop_back();
  }
}

Answer triesLeftAnswer(const FileNode& pin) {
  if (pin.triesLeft == 0) return statusOnly(sw::authenticationBlocked);
  return statusOnly(static_cast<uint16_t>(sw::pinIncorrect | (pin.triesLeft & 0x0F)));
}

bool matches(std::span<const uint8_t> secret, std::span<const uint8_t> offered) {
  return secret.size() == offered.size() &&
         CRYPTO_memcmp(secret.data(), offered.data(), secret.size()) == 0;
}

void setReferenceData(FileNode& pin, const std::vector<uint8_t>& value) {
  pin.secret.assign(value.begin(), value.end());
  pin.triesLeft = pinTries;
}

// LOAD KEY MATERIAL: the current file is the key file whose reference P2
// names; the assembled data field becomes its key material.
Answer loadKeyMaterial(CardState& card, const Command& command) {
  FileNode* key = card.files.currentElementaryFile();
  if (key == nullptr || !key->isKeyFile() || key->isPinObject() || key->reference() != command.p2)
    return statusOnly(sw::referenceNotFound);
  if (!isAllowed(card, *key, Operation::loadKey)) return statusOnly(sw::securityNotSatisfied);
  if (command.data.empty()) return statusOnly(sw::wrongLength);
  if (command.data.size() > keyObjectSize) return statusOnly(sw::noMemory);
  // An RSA key file takes only material that makes a key: an 8-byte
  // big-endian exponent, the modulus and, for a pair, the private exponent.
  WipedBytes previous = std::move(key->secret);
  key->secret.assign(command.data.begin(), command.data.end());
  if (isRsaKeyFile(*key) && !rsaKeyOf(*key)) {
    key->secret = std::move(previous);
    return statusOnly(sw::wrongData);
  }
  return statusOnly(sw::ok);
}

}  // namespace

Answer verify(CardState& card, const Command& command) {
  if (command.p1 != 0) return statusOnly(sw::wrongP1P2);
  FileNode* pin = findPin(card, command.p2);
  if (pin == nullptr) return statusOnly(sw::referenceNotFound);
  if (pin->secret.empty()) return statusOnly(sw::referenceNotUsable);
  if (!isAllowed(card, *pin, Operation::verify)) return statusOnly(sw::securityNotSatisfied);
  if (pin->triesLeft == 0) return statusOnly(sw::authenticationBlocked);

  if (command.data.empty()) {  // the retry query
    if (card.verifiedReferences.count(command.p2) != 0) return statusOnly(sw::ok);
    return triesLeftAnswer(*pin);
  }
  if (command.data.size() > maxPinLength || !matches(pin->secret, command.data)) {
    --pin->triesLeft;
    ++card.revision;
    card.verifiedReferences.erase(command.p2);
    return statusOnly(static_cast<uint16_t>(sw::pinIncorrect | (pin->triesLeft & 0x0F)));
  }
  if (pin->triesLeft != pinTries) ++card.revision;
  pin->triesLeft = pinTries;
  card.verifiedReferences.insert(command.p2);
  return statusOnly(sw::ok);
}

Answer changeReferenceData(CardState& card, const Command& command) {
  // P1 01: the data field is the new reference data alone.
  if (command.p1 != 0x01) return statusOnly(sw::wrongP1P2);
  FileNode* pin = findPin(card, command.p2);
  if (pin == nullptr) return loadKeyMaterial(card, command);
  // The PIN's holder may change it; byte 5 of its attributes says who else.
  const bool holder = card.verifiedReferences.count(command.p2) != 0;
  if (!holder && !isAllowed(card, *pin, Operation::changeReference))
    return statusOnly(sw::securityNotSatisfied);
  if (command.data.empty() || command.data.size() > maxPinLength)
    return statusOnly(sw::wrongLength);
  setReferenceData(*pin, command.data);
  return statusOnly(sw::ok);
}

Answer resetRetryCounter(CardState& card, const Command& command) {
  // P1 03: reset the counter only; P1 02: also set new reference data.
  if (command.p1 != 0x03 && command.p1 != 0x02) return statusOnly(sw::wrongP1P2);
  if ((command.p1 == 0x03) != command.data.empty()) return statusOnly(sw::wrongLength);
  FileNode* pin = findPin(card, command.p2);
  if (pin == nullptr) return statusOnly(sw::referenceNotFound);
  if (!isAllowed(card, *pin, Operation::resetRetryCounter))
    return statusOnly(sw::securityNotSatisfied);
  if (command.data.size() > maxPinLength) return statusOnly(sw::wrongLength);
  if (command.p1 == 0x02)
    setReferenceData(*pin, command.data);
  else
    pin->triesLeft = pinTries;
  return statusOnly(sw::ok);
}

}  // namespace korva::sim
