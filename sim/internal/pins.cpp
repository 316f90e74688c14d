// VERIFY, CHANGE REFERENCE DATA (also LOAD KEY MATERIAL into a key file) and
// RESET RETRY COUNTER. PIN objects are key files of kind 03 whose reference
// (tag 87) is what P2 names; the security state is the set of references
// verified since the last reset. The card keeps no PIN: a PIN object holds
// the card's storage key wrapped under a key derived from the PIN, and a
// VERIFY succeeds when the offered PIN opens that wrap.

#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/memory.h"
#include "sim/internal/secrets.h"

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

constexpr uint16_t swMemoryFailure = 0x6581;

// A new value for `pin`: a new wrap of the storage key under it. Only an
// open card has the storage key to wrap. When someone other than the PIN's
// holder sets it (token initialisation, the SO setting the user PIN) the
// card also takes a new storage key, if this process can wrap it under every
// other PIN; otherwise the key stays, so that no PIN loses its secrets.
uint16_t setReferenceData(CardState& card, FileNode& pin, const std::vector<uint8_t>& value,
                          bool byHolder) {
  if (!card.storageKey) return sw::securityNotSatisfied;
  if (!byHolder) renewStorageKey(card, pin);
  const KdfCost cost{card.options.pinKeyCost, KdfCost{}.blockSize, KdfCost{}.parallelism};
  std::vector<uint8_t> wrap =
      card.pinKeys.wrap(value, *card.storageKey, cost, sealingContext(card, pin, purposePinWrap));
  if (wrap.empty()) return 0x6F00;
  pin.pinWrap = std::move(wrap);
  pin.triesLeft = pinTries;
  return sw::ok;
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
  if (pin->pinWrap.empty()) return statusOnly(sw::referenceNotUsable);
  if (!isAllowed(card, *pin, Operation::verify)) return statusOnly(sw::securityNotSatisfied);
  if (pin->triesLeft == 0) return statusOnly(sw::authenticationBlocked);

  if (command.data.empty()) {  // the retry query
    if (card.verifiedReferences.count(command.p2) != 0) return statusOnly(sw::ok);
    return triesLeftAnswer(*pin);
  }
  // An overlong PIN pays the derivation too: every wrong PIN takes as long.
  const auto storageKey =
      card.pinKeys.open(pin->pinWrap, command.data, sealingContext(card, *pin, purposePinWrap));
  if (command.data.size() > maxPinLength || !storageKey) {
    --pin->triesLeft;
    ++card.revision;
    card.verifiedReferences.erase(command.p2);
    return statusOnly(static_cast<uint16_t>(sw::pinIncorrect | (pin->triesLeft & 0x0F)));
  }
  // The right PIN on a card whose sealed values do not open: the card file
  // is damaged (see damage()); nothing is granted, no try is spent.
  if (!card.storageKey && !openSecrets(card, *storageKey)) return statusOnly(swMemoryFailure);
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
  return statusOnly(setReferenceData(card, *pin, command.data, holder));
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
    return statusOnly(
        setReferenceData(card, *pin, command.data, card.verifiedReferences.count(command.p2) != 0));
  pin->triesLeft = pinTries;
  return statusOnly(sw::ok);
}

}  // namespace korva::sim
