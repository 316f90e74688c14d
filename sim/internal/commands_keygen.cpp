// Public keys and key generation: READ PUBLIC KEY (00 46 01), GENERATE KEY
// PAIR for RSA key files (00 46 02) and the proprietary GOST key generation
// into a key object of the key directory (80 76).
#include <array>
#include <variant>

#include "sim/crypto/gost_curves.h"
#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/memory.h"
#include "sim/internal/tlv.h"

namespace korva::sim {
namespace {

constexpr uint8_t readPublicKeyP1 = 0x01;
constexpr uint8_t generateKeyPairP1 = 0x02;
constexpr uint32_t defaultPublicExponent = 65537;
constexpr uint8_t userPinReference = 0x07;

// GOST generation P1: the curve's parameter-set code in the low bits, 10
// always, 20 for the option form, 80 for a GOST R 34.10-2012 key (hashed
// with GOST R 34.11-2012): a 256-bit key may carry it or not, a 512-bit key,
// which exists only in the 2012 standard, must.
constexpr uint8_t generationMarker = 0x10;
constexpr uint8_t curveCodeMask = 0x0F;
constexpr uint8_t gost2012Marker = 0x80;

// A generated GOST key object: deleted and used with the user PIN, never
// loaded from outside.
constexpr std::array<uint8_t, 6> gostObjectAttributes{0xFF, 0xFF, 0x12, 0xFF, 0x12, 0xFF};

// The key file that P2 names: 0 the current elementary file, otherwise the
// key file with that reference.
std::variant<FileNode*, uint16_t> namedKeyFile(CardState& card, uint8_t reference) {
  if (reference == 0) {
    FileNode* file = card.files.currentElementaryFile();
    if (file == nullptr) return sw::noCurrentEf;
    if (!file->isKeyFile() || file->isPinObject()) return sw::incompatibleFile;
    return file;
  }
  const auto location = findKeyByReference(card.files, reference);
  if (!location) return sw::referenceNotFound;
  return card.files.at(*location);
}

// The public exponent of the optional data A6 { 94 exponent }.
std::optional<uint32_t> requestedExponent(std::span<const uint8_t> data) {
  if (data.empty()) return defaultPublicExponent;
  const auto control = findTlv(data, 0xA6);
  if (!control) return std::nullopt;
  const auto exponent = findTlv(*control, 0x94);
  if (!exponent || exponent->empty() || exponent->size() > 4) return std::nullopt;
  uint32_t value = 0;
  for (uint8_t byte : *exponent) value = value << 8 | byte;
  if (value < 3 || value % 2 == 0) return std::nullopt;
  return value;
}

Answer readPublicKey(CardState& card, const Command& command) {
  if (!command.data.empty()) return statusOnly(sw::wrongLength);
  auto named = namedKeyFile(card, command.p2);
  if (const uint16_t* status = std::get_if<uint16_t>(&named)) return statusOnly(*status);
  const FileNode& file = *std::get<FileNode*>(named);
  // The public half is public: reading it is not gated.
  std::vector<uint8_t> publicKey;
  if (const auto gost = gostKeyOf(file)) {
    publicKey = gost->publicKey();
  } else if (isGostKeyObject(file) && !file.sealed.empty() && !file.publicKey.empty()) {
    publicKey.assign(file.publicKey.begin() + 1, file.publicKey.end());  // sealed: the kept copy
  } else if (const auto rsa = rsaKeyOf(file)) {
    publicKey = rsa->publicKey();
  } else {
    return statusOnly(sw::referenceNotFound);
  }
  if (publicKey.empty()) return statusOnly(0x6F00);
  return answerExactly(command, std::move(publicKey));
}

Answer generateRsaKeyPair(CardState& card, const Command& command) {
  auto named = namedKeyFile(card, command.p2);
  if (const uint16_t* status = std::get_if<uint16_t>(&named)) return statusOnly(*status);
  FileNode& file = *std::get<FileNode*>(named);
  if (!isRsaKeyFile(file)) return statusOnly(sw::incompatibleFile);
  if (!isAllowed(card, file, Operation::loadKey)) return statusOnly(sw::securityNotSatisfied);
  const auto exponent = requestedExponent(command.data);
  if (!exponent) return statusOnly(sw::wrongData);
  const auto key = crypto::RsaKey::generate(*exponent);
  if (!key) return statusOnly(0x6F00);
  const WipedBytes material = rsaMaterial(*key);
  if (material.empty()) return statusOnly(0x6F00);
  file.secret.assign(material.begin(), material.end());
  return statusOnly(sw::ok);
}

// The data field: the key object's identifier, 07 00, then nothing (long
// form), 09 (short form) or the six option bytes 01 08 05 00 xx 01.
bool isGenerationData(std::span<const uint8_t> data) {
  if (data.size() != 4 && data.size() != 5 && data.size() != 10) return false;
  return data[2] == 0x07 && data[3] == 0x00;
}

FileNode newGostKeyObject(uint16_t fid, uint8_t reference) {
  FileNode node;
  node.fid = fid;
  node.descriptorBytes = {descriptorKey};
  node.securityAttributes.assign(gostObjectAttributes.begin(), gostObjectAttributes.end());
  node.proprietary = {0x85, 0x01, keyKindGost, 0x87, 0x01, reference};
  return node;
}

}  // namespace

Answer publicKeyCommand(CardState& card, const Command& command) {
  switch (command.p1) {
    case readPublicKeyP1: return readPublicKey(card, command);
    case generateKeyPairP1: ++card.revision; return generateRsaKeyPair(card, command);
    default: return statusOnly(sw::wrongP1P2);
  }
}

Answer generateKeyOnCard(CardState& card, const Command& command) {
  if (!isGenerationData(command.data)) return statusOnly(sw::wrongLength);
  const auto fid = static_cast<uint16_t>(command.data[0] << 8 | command.data[1]);
  const uint8_t number = static_cast<uint8_t>(fid);
  // The key object F0 ss carries reference ss: P2 must name the same slot.
  if ((fid & 0xFF00) != keyObjectBase || number == 0 || number > 0x7F || command.p2 != number)
    return statusOnly(sw::wrongP1P2);
  if ((command.p1 & generationMarker) == 0) return statusOnly(sw::wrongP1P2);
  const auto* curve = crypto::findGostCurve(command.p1 & curveCodeMask);
  if (curve == nullptr) return statusOnly(sw::wrongP1P2);
  const bool wide = curve->size == 64;
  if (wide && (command.p1 & gost2012Marker) == 0) return statusOnly(sw::wrongP1P2);
  // A GOST R 34.10-2001 card knows only the 2001 curves (codes 1 to 4).
  if (!card.options.gost2012 && curve->code > 4) return statusOnly(sw::wrongP1P2);
  if (card.verifiedReferences.count(userPinReference) == 0)
    return statusOnly(sw::securityNotSatisfied);

  FileNode* keys = keyDirectory(card.files);
  if (keys == nullptr) return statusOnly(sw::fileNotFound);
  FileNode* target = keys->child(fid);
  if (target != nullptr && !isGostKeyObject(*target)) return statusOnly(sw::fileExists);
  if (target == nullptr && card.freeMemory() < fileOverhead + keyObjectSize)
    return statusOnly(sw::noMemory);

  auto pair = crypto::GostKeyPair::generate(curve->code);
  if (!pair) return statusOnly(0x6F00);
  if ((command.p1 & gost2012Marker) != 0) pair->markGost2012();
  const WipedBytes material = pair->serialize();
  std::vector<uint8_t> publicKey = pair->publicKey();
  if (material.empty() || publicKey.empty()) return statusOnly(0x6F00);
  if (target == nullptr) {
    keys->children.push_back(newGostKeyObject(fid, number));
    target = &keys->children.back();
  }
  target->secret.assign(material.begin(), material.end());
  target->publicKey = {curve->code};
  target->publicKey.insert(target->publicKey.end(), publicKey.begin(), publicKey.end());
  // 61 40 or 61 80: the public key, X then Y, waits for GET RESPONSE.
  card.pendingResponse = std::move(publicKey);
  return statusOnly(static_cast<uint16_t>(sw::moreData | card.pendingResponse.size()));
}

}  // namespace korva::sim
