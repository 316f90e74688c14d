// ENCIPHER (00 2A 86 80) and DECIPHER (00 2A 80 86) with the key of the
// confidentiality template.
//
// Secret keys (DES, two-key triple DES, AES) cipher whole blocks, without
// padding, in the mode SET CIPHER ENVIRONMENT chose (8C: 01 ECB, 02 CBC)
// from its initial vector (87; zeros when none was given). A long text comes
// in CLA 10 pieces, each answered with its own output; CBC carries its
// chaining value from piece to piece, and the last piece (CLA 00) ends the
// chain. An RSA key enciphers with the raw public operation and deciphers
// with the raw private one.
//
// ENCIPHER answers the padding indicator 02 (no padding) and then the
// cryptogram; DECIPHER receives the padding indicator before the cryptogram
// and answers the plain text alone.
#include <openssl/evp.h>

#include "sim/crypto/big_number.h"
#include "common/openssl_ptr.h"

#include <variant>

#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"

namespace korva::sim {
namespace {

constexpr uint8_t chainingBit = 0x10;
constexpr uint8_t paddingIndicatorNone = 0x02;

using CipherContext = EvpCipherCtxPtr;

// DES and two-key triple DES run as three-key triple DES (K‖K‖K and
// K1‖K2‖K1 give the same results); single DES is not in OpenSSL 3's default
// provider.
const EVP_CIPHER* cipherFor(const SecretKey& key, uint8_t mode, WipedBytes& cipherKey) {
  const bool cbc = mode == cipherModeCbc;
  switch (key.algorithm) {
    case SecretAlgorithm::des:
      cipherKey = key.value;
      cipherKey.insert(cipherKey.end(), key.value.begin(), key.value.end());
      cipherKey.insert(cipherKey.end(), key.value.begin(), key.value.end());
      return cbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
    case SecretAlgorithm::des2:
      cipherKey = key.value;
      cipherKey.insert(cipherKey.end(), key.value.begin(), key.value.begin() + 8);
      return cbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
    case SecretAlgorithm::aes:
      cipherKey = key.value;
      switch (key.value.size()) {
        case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        case 32: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
        default: return nullptr;
      }
  }
  return nullptr;
}

// Ciphers whole blocks; empty on failure.
std::vector<uint8_t> runBlockCipher(const SecretKey& key, uint8_t mode,
                                    std::span<const uint8_t> chainingValue,
                                    std::span<const uint8_t> input, bool encrypt) {
  WipedBytes cipherKey;
  const EVP_CIPHER* cipher = cipherFor(key, mode, cipherKey);
  const CipherContext context(EVP_CIPHER_CTX_new());
  if (cipher == nullptr || !context) return {};
  const uint8_t* iv = mode == cipherModeCbc ? chainingValue.data() : nullptr;
  if (EVP_CipherInit_ex(context.get(), cipher, nullptr, cipherKey.data(), iv, encrypt ? 1 : 0) !=
          1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1)
    return {};
  std::vector<uint8_t> output(input.size());
  int written = 0;
  if (EVP_CipherUpdate(context.get(), output.data(), &written, input.data(),
                       static_cast<int>(input.size())) != 1 ||
      static_cast<std::size_t>(written) != input.size())
    return {};
  return output;
}

// One piece of a secret-key encipherment or decipherment.
Answer secretKeyPiece(CardState& card, const Command& command, const SecretKey& key,
                      std::span<const uint8_t> input, bool encrypt) {
  SecurityEnvironment& environment = card.environment;
  if (!environment.cipherMode) return statusOnly(sw::conditionsNotSatisfied);
  const std::size_t block = key.blockSize();
  if (input.empty() || input.size() % block != 0) return statusOnly(sw::wrongLength);

  std::vector<uint8_t> chainingValue = environment.chainingValue;
  if (chainingValue.empty()) chainingValue = environment.iv;
  if (chainingValue.empty()) chainingValue.assign(block, 0);
  if (*environment.cipherMode == cipherModeCbc && chainingValue.size() != block)
    return statusOnly(sw::wrongData);  // an initial vector for another block size

  std::vector<uint8_t> output =
      runBlockCipher(key, *environment.cipherMode, chainingValue, input, encrypt);
  if (output.empty()) return statusOnly(0x6F00);
  if ((command.cla & chainingBit) != 0) {
    const std::span<const uint8_t> cryptogram = encrypt ? std::span<const uint8_t>(output) : input;
    const auto last = cryptogram.last(block);
    environment.chainingValue.assign(last.begin(), last.end());
  } else {
    environment.chainingValue.clear();
  }
  if (encrypt) output.insert(output.begin(), paddingIndicatorNone);
  return dataAnswer(std::move(output));
}

// The raw private operation c^d mod n on a 128-byte cryptogram below the
// modulus, from an RSA key file's stored pair; empty on failure.
std::vector<uint8_t> rsaPrivateOperation(const FileNode& file,
                                         std::span<const uint8_t> cryptogram) {
  constexpr std::size_t modulusOffset = crypto::kRsaExponentBytes;
  constexpr std::size_t privateOffset = modulusOffset + crypto::kRsaModulusBytes;
  const std::span<const uint8_t> material = file.secret;
  if (material.size() != privateOffset + crypto::kRsaModulusBytes ||
      cryptogram.size() != crypto::kRsaModulusBytes)
    return {};
  const crypto::BigNumberContext context(BN_CTX_new());
  const crypto::BigNumber n =
      crypto::bigNumberFromBytes(material.subspan(modulusOffset, crypto::kRsaModulusBytes));
  const crypto::BigNumber d = crypto::bigNumberFromBytes(material.subspan(privateOffset));
  const crypto::BigNumber c = crypto::bigNumberFromBytes(cryptogram);
  const crypto::BigNumber m = crypto::newBigNumber();
  if (!context || !n || !d || !c || !m || BN_cmp(c.get(), n.get()) >= 0) return {};
  BN_set_flags(d.get(), BN_FLG_CONSTTIME);
  if (BN_mod_exp_mont_consttime(m.get(), c.get(), d.get(), n.get(), context.get(), nullptr) != 1)
    return {};
  const WipedBytes plain = crypto::bigNumberToBytes(m.get(), crypto::kRsaModulusBytes);
  return {plain.begin(), plain.end()};
}

}  // namespace

Answer encipher(CardState& card, const Command& command) {
  auto named = environmentKey(card, card.environment.confidentialityKey);
  if (const uint16_t* status = std::get_if<uint16_t>(&named)) return statusOnly(*status);
  const FileNode& file = *std::get<FileNode*>(named);
  const bool chained = (command.cla & chainingBit) != 0;

  if (const auto rsa = rsaKeyOf(file)) {
    if (chained) return statusOnly(0x6884);
    if (command.data.empty() || command.data.size() > crypto::kRsaModulusBytes)
      return statusOnly(sw::wrongLength);
    std::vector<uint8_t> output = rsa->publicOperation(command.data);
    if (output.empty()) return statusOnly(sw::wrongData);  // not below the modulus
    output.insert(output.begin(), paddingIndicatorNone);
    return dataAnswer(std::move(output));
  }
  const auto key = secretKeyOf(file);
  if (!key) return statusOnly(sw::conditionsNotSatisfied);
  if (!isAllowed(card, file, Operation::useKey)) return statusOnly(sw::securityNotSatisfied);
  return secretKeyPiece(card, command, *key, command.data, true);
}

Answer decipher(CardState& card, const Command& command) {
  auto named = environmentKey(card, card.environment.confidentialityKey);
  if (const uint16_t* status = std::get_if<uint16_t>(&named)) return statusOnly(*status);
  const FileNode& file = *std::get<FileNode*>(named);
  if (command.data.empty()) return statusOnly(sw::wrongLength);
  if (command.data[0] != paddingIndicatorNone) return statusOnly(sw::wrongData);
  const std::span<const uint8_t> cryptogram = std::span(command.data).subspan(1);

  if (const auto rsa = rsaKeyOf(file)) {
    if ((command.cla & chainingBit) != 0) return statusOnly(0x6884);
    if (!rsa->hasPrivateKey()) return statusOnly(sw::conditionsNotSatisfied);
    if (!isAllowed(card, file, Operation::useKey)) return statusOnly(sw::securityNotSatisfied);
    if (cryptogram.size() != crypto::kRsaModulusBytes) return statusOnly(sw::wrongLength);
    std::vector<uint8_t> plain = rsaPrivateOperation(file, cryptogram);
    if (plain.empty()) return statusOnly(sw::wrongData);  // not below the modulus
    return dataAnswer(std::move(plain));
  }
  const auto key = secretKeyOf(file);
  if (!key) return statusOnly(sw::conditionsNotSatisfied);
  if (!isAllowed(card, file, Operation::useKey)) return statusOnly(sw::securityNotSatisfied);
  return secretKeyPiece(card, command, *key, cryptogram, false);
}

}  // namespace korva::sim
