// PERFORM SECURITY OPERATION (00 2A): the routing by P1-P2, and COMPUTE and
// VERIFY DIGITAL SIGNATURE with the key of the digital signature template.
//
// GOST: the hash arrives as the card reads it, a big-endian number (the
// module reverses the digest before sending); the signature is r then s,
// each big-endian. RSA: the data is padded with PKCS#1 v1.5 block type 1 and
// raised to the private exponent; verification compares the public
// operation on the signature with that padded block.
#include <openssl/crypto.h>

#include <variant>

#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/tlv.h"

namespace korva::sim {
namespace {

constexpr uint8_t chainingBit = 0x10;
constexpr uint16_t chainingNotSupported = 0x6884;

std::vector<uint8_t> typeOneBlock(std::span<const uint8_t> data) {
  std::vector<uint8_t> block(crypto::kRsaModulusBytes, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[crypto::kRsaModulusBytes - data.size() - 1] = 0x00;
  std::copy(data.begin(), data.end(), block.end() - static_cast<std::ptrdiff_t>(data.size()));
  return block;
}

bool rsaSignatureMatches(const crypto::RsaKey& key, std::span<const uint8_t> data,
                         std::span<const uint8_t> signature) {
  if (signature.size() != crypto::kRsaModulusBytes || data.size() > crypto::kRsaMaxSignedData)
    return false;
  const std::vector<uint8_t> block = key.publicOperation(signature);
  const std::vector<uint8_t> expected = typeOneBlock(data);
  return block.size() == expected.size() &&
         CRYPTO_memcmp(block.data(), expected.data(), block.size()) == 0;
}

}  // namespace

Answer computeDigitalSignature(CardState& card, const Command& command) {
  auto key = environmentKey(card, card.environment.signingKey);
  if (const uint16_t* status = std::get_if<uint16_t>(&key)) return statusOnly(*status);
  const FileNode& file = *std::get<FileNode*>(key);
  if (!isAllowed(card, file, Operation::useKey)) return statusOnly(sw::securityNotSatisfied);

  std::vector<uint8_t> signature;
  if (const auto gost = gostKeyOf(file)) {
    if (command.data.size() != gost->size()) return statusOnly(sw::wrongLength);
    signature = gost->sign(command.data);
  } else if (const auto rsa = rsaKeyOf(file)) {
    if (!rsa->hasPrivateKey()) return statusOnly(sw::conditionsNotSatisfied);
    if (command.data.empty() || command.data.size() > crypto::kRsaMaxSignedData)
      return statusOnly(sw::wrongLength);
    signature = rsa->signPkcs1(command.data);
  } else {
    return statusOnly(sw::conditionsNotSatisfied);
  }
  if (signature.empty()) return statusOnly(0x6F00);
  return dataAnswer(std::move(signature));
}

// Data: 9A len hash, 9E len signature. 90 00 when the signature holds,
// 69 82 when it does not.
Answer verifyDigitalSignature(CardState& card, const Command& command) {
  auto key = environmentKey(card, card.environment.signingKey);
  if (const uint16_t* status = std::get_if<uint16_t>(&key)) return statusOnly(*status);
  const FileNode& file = *std::get<FileNode*>(key);
  const auto hash = findTlv(command.data, 0x9A);
  const auto signature = findTlv(command.data, 0x9E);
  if (!hash || !signature) return statusOnly(sw::wrongData);

  bool holds = false;
  if (const auto gost = gostKeyOf(file)) {
    if (hash->size() != gost->size() || signature->size() != 2 * gost->size())
      return statusOnly(sw::wrongData);
    holds = gost->verify(*hash, *signature);
  } else if (isGostKeyObject(file) && !file.sealed.empty() && !file.publicKey.empty()) {
    // A sealed key verifies with its public key, kept in the clear.
    const std::size_t size = (file.publicKey.size() - 1) / 2;
    if (hash->size() != size || signature->size() != 2 * size) return statusOnly(sw::wrongData);
    holds = crypto::verifyGostSignature(file.publicKey[0], std::span(file.publicKey).subspan(1),
                                        *hash, *signature);
  } else if (const auto rsa = rsaKeyOf(file)) {
    if (signature->size() != crypto::kRsaModulusBytes || hash->size() > crypto::kRsaMaxSignedData)
      return statusOnly(sw::wrongData);
    holds = rsaSignatureMatches(*rsa, *hash, *signature);
  } else {
    return statusOnly(sw::conditionsNotSatisfied);
  }
  return statusOnly(holds ? sw::ok : sw::securityNotSatisfied);
}

Answer performSecurityOperation(CardState& card, const Command& command) {
  const bool chained = (command.cla & chainingBit) != 0;
  const uint16_t operation = static_cast<uint16_t>(command.p1 << 8 | command.p2);
  switch (operation) {
    case 0x8680: return encipher(card, command);
    case 0x8086: return decipher(card, command);
    default: break;
  }
  // Only the cipher operations answer piece by piece.
  if (chained) return statusOnly(chainingNotSupported);
  switch (operation) {
    case 0x9E9A: return computeDigitalSignature(card, command);
    case 0x00A8: return verifyDigitalSignature(card, command);
    default: return statusOnly(sw::wrongP1P2);
  }
}

}  // namespace korva::sim
