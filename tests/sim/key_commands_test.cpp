// The card's key commands through APDUs: GOST key generation, signing and
// verification checked against OpenSSL's GOST engine, RSA keys loaded in two
// parts or generated on the card, key agreement, and the keys' life in the
// key directory and the card file.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <openssl/sha.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/crypto/gost_key.h"
#include "tests/sim_crypto/engine_keys.h"
#include "tests/sim/key_card.h"

namespace korva::sim::testing {
namespace {

using test::exchangeHalves;
using test::randomBytes;

Bytes informationRecord(VirtualCard& card) {
  const Answer answer = send(card, "80 78 00 00 7F");
  EXPECT_EQ(answer.statusWord(), 0x9000);
  return answer.data;
}

class GostKeys : public KeyCard, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(GostKeys, GeneratedKeySignsAsTheEngineVerifies) {
  const uint8_t code = GetParam();
  const std::size_t size = code >= 9 ? 64 : 32;
  loginUser();
  const Answer generated = generateGost(code, 0x30);
  ASSERT_EQ(generated.statusWord(), 0x6100 | (2 * size));
  const Answer pending = send(card, "00 C0 00 00 " + hexByte(2 * size));
  ASSERT_EQ(pending.statusWord(), 0x9000);
  const Bytes publicKey = readPublicKey(0x30);
  EXPECT_EQ(pending.data, publicKey);
  EXPECT_EQ(informationRecord(card)[0x30 - 1], 0x21);

  expectOk(card, "00 A4 08 00 02 051F");
  setSigningKey(0x30);
  const Bytes digest = randomBytes(size);
  const Answer signed_ = send(card, command("00 2A 9E 9A", reversedBytes(digest)));
  ASSERT_EQ(signed_.statusWord(), 0x9000);
  ASSERT_EQ(signed_.data.size(), 2 * size);

  // The module's host form: halves exchanged, over the digest as it is.
  const test::Pkey engineKey = test::enginePublicKey(code, publicKey);
  ASSERT_TRUE(engineKey);
  const Bytes hostSignature = exchangeHalves(signed_.data);
  const test::PkeyContext context(EVP_PKEY_CTX_new(engineKey.get(), nullptr));
  ASSERT_TRUE(context);
  ASSERT_EQ(EVP_PKEY_verify_init(context.get()), 1);
  EXPECT_EQ(EVP_PKEY_verify(context.get(), hostSignature.data(), hostSignature.size(),
                            digest.data(), digest.size()),
            1);

  EXPECT_EQ(verifyOnCard(reversedBytes(digest), signed_.data).statusWord(), 0x9000);
  Bytes forged = signed_.data;
  forged[5] ^= 0x01;
  EXPECT_EQ(verifyOnCard(reversedBytes(digest), forged).statusWord(), 0x6982);
  EXPECT_EQ(verifyOnCard(digest, signed_.data).statusWord(), 0x6982) << "hash order ignored";
}

INSTANTIATE_TEST_SUITE_P(CurveCodes, GostKeys,
                         ::testing::Values(uint8_t{1}, uint8_t{2}, uint8_t{3}, uint8_t{4},
                                           uint8_t{5}, uint8_t{9}, uint8_t{10}, uint8_t{11}),
                         [](const auto& testInfo) {
                           return "code" + std::to_string(testInfo.param);
                         });

TEST_F(KeyCard, GostGenerationForms) {
  expectStatus(card, "80 76 12 30 04 F030 0700", 0x6982);  // no user PIN
  loginUser();
  expectStatus(card, "80 76 12 31 04 F030 0700", 0x6A86);  // P2 names another slot
  expectStatus(card, "80 76 19 30 04 F030 0700", 0x6A86);  // 512-bit curve, 256-bit marker
  expectStatus(card, "80 76 17 30 04 F030 0700", 0x6A86);  // no such curve
  expectStatus(card, "80 76 12 30 03 F030 07", 0x6700);
  // 80 marks a 2012 key; on a 256-bit curve the answer stays 61 40.
  expectStatus(card, "80 76 B5 30 0A F030 0700 010805000901", 0x6140);
  EXPECT_EQ(readPublicKey(0x30).size(), 64u);

  CardOptions options = testOptions();
  options.gost2012 = false;
  VirtualCard old = VirtualCard::makeFresh(options);
  expectOk(old, "00 A4 08 00 02 051F");
  expectOk(old, "00 20 00 07 08 " + std::string(userPinBlock));
  expectStatus(old, "80 76 15 30 04 F030 0700", 0x6A86);
  expectStatus(old, "80 76 12 30 05 F030 0700 09", 0x6140);  // the short form
}

TEST_F(KeyCard, SigningNeedsTheUserPinAndVerifyingDoesNot) {
  loginUser();
  ASSERT_EQ(generateGost(2, 0x30).statusWord(), 0x6140);
  setSigningKey(0x30);
  const Bytes hash = randomBytes(32);
  const Answer signed_ = send(card, command("00 2A 9E 9A", hash));
  ASSERT_EQ(signed_.statusWord(), 0x9000);

  expectOk(card, "80 52 00 00");
  EXPECT_EQ(send(card, command("00 2A 9E 9A", hash)).statusWord(), 0x6982);
  EXPECT_EQ(verifyOnCard(hash, signed_.data).statusWord(), 0x9000);
  EXPECT_EQ(send(card, command("00 2A 9E 9A", Bytes(31, 1))).statusWord(), 0x6982);
  expectOk(card, "00 22 F3 00");
  EXPECT_EQ(send(card, command("00 2A 9E 9A", hash)).statusWord(), 0x6985);  // no key set
}

// Card key F0 30 and F0 31; the bitmap bit of 30 removes that one only.
TEST_F(KeyCard, KeySlotBitmapRemovesGeneratedKeys) {
  loginUser();
  const uint32_t before = card.freeMemory();
  ASSERT_EQ(generateGost(5, 0x30).statusWord(), 0x6140);
  ASSERT_EQ(generateGost(9, 0x31).statusWord(), 0x6180);
  Bytes bitmap(16, 0);
  bitmap[(0x30 - 1) / 8] = static_cast<uint8_t>(0x80 >> ((0x30 - 1) % 8));
  ASSERT_EQ(send(card, command("80 74 00 00", bitmap)).statusWord(), 0x9000);

  const Bytes record = informationRecord(card);
  EXPECT_EQ(record[0x30 - 1], 0);
  EXPECT_EQ(record[0x31 - 1], 0x21);
  expectStatus(card, "00 22 C1 B6 03 83 01 30", 0x6A88);
  expectStatus(card, "00 46 01 30 00", 0x6A88);
  expectOk(card, "00 22 C1 B6 03 83 01 31");
  EXPECT_EQ(card.freeMemory(), before - 352);
}

TEST_F(KeyCard, GenerationStopsWhenMemoryRunsOut) {
  CardOptions options = testOptions();
  options.memorySize = 0x1000;
  card = VirtualCard::makeFresh(options);
  loginUser();
  uint8_t slot = 0x30;
  while (slot < 0x50 && generateGost(2, slot).statusWord() == 0x6140) ++slot;
  ASSERT_LT(slot, 0x50);
  EXPECT_EQ(slot - 0x30, (0x1000 - 832) / 352);
  EXPECT_LT(card.freeMemory(), 352u);
  EXPECT_EQ(informationRecord(card)[slot - 1], 0);
}

// An RSA pair made by OpenSSL, as the module loads it.
struct OpenSslRsa {
  test::Pkey key;
  Bytes modulus, privateExponent;
  Bytes exponent{0x01, 0x00, 0x01};

  OpenSslRsa() : key(EVP_RSA_gen(1024)) {
    modulus = component(OSSL_PKEY_PARAM_RSA_N);
    privateExponent = component(OSSL_PKEY_PARAM_RSA_D);
  }
  Bytes component(const char* name) const {
    BIGNUM* number = nullptr;
    Bytes out(128);
    if (EVP_PKEY_get_bn_param(key.get(), name, &number) != 1 ||
        BN_bn2binpad(number, out.data(), 128) != 128)
      out.clear();
    BN_clear_free(number);
    return out;
  }
  Bytes encrypt(std::span<const uint8_t> message) const {
    const test::PkeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr));
    Bytes out(128);
    std::size_t length = out.size();
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(context.get(), out.data(), &length, message.data(), message.size()) != 1)
      out.clear();
    return out;
  }
  bool verifies(std::span<const uint8_t> data, std::span<const uint8_t> signature) const {
    const test::PkeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr));
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_verify(context.get(), signature.data(), signature.size(), data.data(),
                           data.size()) == 1;
  }
};

TEST_F(KeyCard, RsaPairLoadedInTwoPartsSignsAndRecovers) {
  const OpenSslRsa rsa;
  ASSERT_EQ(rsa.modulus.size(), 128u);
  openApplication();
  createRsaKeyFile(0x6101, 0x61);
  Bytes first(5, 0x00);
  first.insert(first.end(), rsa.exponent.begin(), rsa.exponent.end());
  first.insert(first.end(), rsa.modulus.begin(), rsa.modulus.end());
  ASSERT_EQ(send(card, concat(hex("10 24 01 61 88"), first)).statusWord(), 0x9000);
  ASSERT_EQ(send(card, command("00 24 01 61", rsa.privateExponent)).statusWord(), 0x9000);
  EXPECT_EQ(readPublicKey(0x00), first);  // the selected key file

  setSigningKey(0x61);
  const Bytes data = randomBytes(36);
  const Answer signed_ = send(card, command("00 2A 9E 9A", data));
  ASSERT_EQ(signed_.statusWord(), 0x9000);
  ASSERT_EQ(signed_.data.size(), 128u);
  EXPECT_TRUE(rsa.verifies(data, signed_.data));
  EXPECT_EQ(verifyOnCard(data, signed_.data).statusWord(), 0x9000);
  Bytes forged = signed_.data;
  forged[127] ^= 0x01;
  EXPECT_EQ(verifyOnCard(data, forged).statusWord(), 0x6982);
  EXPECT_EQ(send(card, command("00 2A 9E 9A", Bytes(118, 1))).statusWord(), 0x6700);

  // Recovery: ENCIPHER under confidentiality is the raw public operation,
  // after the padding-indicator byte.
  expectOk(card, "00 22 C1 B8 03 83 01 61");
  const Answer recovered = send(card, command("00 2A 86 80", signed_.data));
  ASSERT_EQ(recovered.statusWord(), 0x9000);
  ASSERT_EQ(recovered.data.size(), 129u);
  Bytes block(128, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[128 - 36 - 1] = 0x00;
  std::copy(data.begin(), data.end(), block.end() - 36);
  EXPECT_EQ(Bytes(recovered.data.begin() + 1, recovered.data.end()), block);

  // DECIPHER: the raw private operation gives the type-2 block back.
  const Bytes message = randomBytes(24);
  const Answer deciphered =
      send(card, command("00 2A 80 86", concat(Bytes{0x02}, rsa.encrypt(message))));
  ASSERT_EQ(deciphered.statusWord(), 0x9000);
  ASSERT_EQ(deciphered.data.size(), 128u);
  EXPECT_EQ(deciphered.data[1], 0x02);
  EXPECT_EQ(Bytes(deciphered.data.end() - 24, deciphered.data.end()), message);
  expectOk(card, "80 52 00 00");
  EXPECT_EQ(
      send(card, command("00 2A 80 86", concat(Bytes{0x02}, rsa.encrypt(message)))).statusWord(),
      0x6982);
}

TEST_F(KeyCard, RsaPublicKeyInTheSingleFormOnlyVerifies) {
  const OpenSslRsa rsa;
  openApplication();
  createRsaKeyFile(0x6102, 0x62);
  // The exponent field is an 8-byte big-endian number; written from the
  // left it is no exponent, and the card refuses the key.
  Bytes leftAligned{0x01, 0x00, 0x01, 0, 0, 0, 0, 0};
  leftAligned.insert(leftAligned.end(), rsa.modulus.begin(), rsa.modulus.end());
  EXPECT_EQ(send(card, command("00 24 01 62", leftAligned)).statusWord(), 0x6A80);
  Bytes material{0, 0, 0, 0, 0, 0x01, 0x00, 0x01};
  material.insert(material.end(), rsa.modulus.begin(), rsa.modulus.end());
  ASSERT_EQ(send(card, command("00 24 01 62", material)).statusWord(), 0x9000);
  const Bytes publicKey = readPublicKey(0x62);
  EXPECT_EQ(Bytes(publicKey.begin(), publicKey.begin() + 8), hex("0000000000010001"));
  setSigningKey(0x62);
  EXPECT_EQ(send(card, command("00 2A 9E 9A", Bytes(20, 1))).statusWord(), 0x6985);
}

// An RSA pair from the card's generator and a GOST key, through a card file.
TEST_F(KeyCard, KeysSurviveSaveAndLoad) {
  openApplication();
  createRsaKeyFile(0x6101, 0x61);
  expectStatus(card, "00 46 02 61 08 A6 06 94 04 00 000004", 0x6A80);  // even exponent
  expectOk(card, "00 46 02 61 08 A6 06 94 04 00 000003");
  const Bytes rsaPublic = readPublicKey(0x61);
  ASSERT_EQ(rsaPublic.size(), 136u);
  EXPECT_EQ(Bytes(rsaPublic.begin(), rsaPublic.begin() + 8), hex("0000000000000003"));
  EXPECT_NE(rsaPublic[8] & 0x80, 0);
  loginUser();
  ASSERT_EQ(generateGost(9, 0x30).statusWord(), 0x6180);
  const Bytes gostPublic = readPublicKey(0x30);

  const auto path = std::filesystem::temp_directory_path() / "korva-sim-keys.card";
  card.save(path);
  const std::string before = card.dumpTree();
  card = VirtualCard::load(path);
  std::filesystem::remove(path);
  // Sealed: the public keys read, the private ones wait for a PIN.
  EXPECT_EQ(readPublicKey(0x30), gostPublic);
  setSigningKey(0x30);
  const Bytes hash = randomBytes(64);
  EXPECT_EQ(send(card, command("00 2A 9E 9A", hash)).statusWord(), 0x6982);
  loginUser();
  EXPECT_EQ(card.dumpTree(), before);
  const Answer gostSignature = send(card, command("00 2A 9E 9A", hash));
  ASSERT_EQ(gostSignature.statusWord(), 0x9000);
  EXPECT_TRUE(crypto::verifyGostSignature(9, gostPublic, hash, gostSignature.data));

  expectOk(card, "00 A4 08 00 02 A1BC");
  EXPECT_EQ(readPublicKey(0x61), rsaPublic);
  setSigningKey(0x61);
  const Answer rsaSignature = send(card, command("00 2A 9E 9A", hash));
  ASSERT_EQ(rsaSignature.statusWord(), 0x9000);
  EXPECT_EQ(verifyOnCard(hash, rsaSignature.data).statusWord(), 0x9000);
}

// A GOST key object's public key must be on a known curve: a file whose
// checksum is right but whose key names no curve does not load.
TEST_F(KeyCard, DamagedGostKeyMaterialDoesNotLoad) {
  loginUser();
  ASSERT_EQ(generateGost(2, 0x30).statusWord(), 0x6140);
  const Bytes publicKey = readPublicKey(0x30);
  const auto path = std::filesystem::temp_directory_path() / "korva-sim-gost-damaged.card";
  card.save(path);
  std::ifstream in(path, std::ios::binary);
  const Bytes original{std::istreambuf_iterator<char>(in), {}};
  in.close();
  // The public key kept in the clear: the curve code 02, then X and Y.
  const auto found =
      std::search(original.begin(), original.end(), publicKey.begin(), publicKey.end());
  ASSERT_NE(found, original.end());
  const auto offset = static_cast<std::size_t>(found - original.begin()) - 1;
  ASSERT_EQ(original[offset], 0x02);

  const auto resealedLoads = [&](auto&& damage) {
    Bytes bytes = original;
    damage(bytes);
    SHA256(bytes.data(), bytes.size() - SHA256_DIGEST_LENGTH,
           bytes.data() + bytes.size() - SHA256_DIGEST_LENGTH);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    try {
      VirtualCard::load(path);
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  };
  EXPECT_TRUE(resealedLoads([](Bytes&) {}));
  EXPECT_FALSE(resealedLoads([&](Bytes& bytes) { bytes[offset] = 0x07; }));  // no such curve
  std::filesystem::remove(path);
}

// Key agreement: the card's VKO with a peer's public key and UKM, as the
// module sends them (each reversed from the host's form), equals the
// engine's VKO from the peer's side.
struct AgreementCase {
  uint8_t code;
  uint8_t p1;  // the card's generation as the module names it; the key's standard decides
};
void PrintTo(const AgreementCase& agreement, std::ostream* out) {
  *out << "curve " << int{agreement.code} << ", P1 " << int{agreement.p1};
}

class KeyAgreement : public KeyCard, public ::testing::WithParamInterface<AgreementCase> {};

TEST_P(KeyAgreement, MatchesTheEngine) {
  const auto [code, p1] = GetParam();
  loginUser();
  ASSERT_EQ(generateGost(code, 0x30).statusWord() & 0xFF00, 0x6100);
  const Bytes cardPublic = readPublicKey(0x30);
  const auto peer = crypto::GostKeyPair::generate(code);
  ASSERT_TRUE(peer);
  const Bytes hostUkm = randomBytes(8);

  Bytes data = peer->publicKey();
  const Bytes ukm = reversedBytes(hostUkm);
  data.insert(data.end(), ukm.begin(), ukm.end());
  const Answer agreed = send(card, command("80 50 " + hexByte(p1) + " 30", data));
  ASSERT_EQ(agreed.statusWord(), 0x9000);
  ASSERT_EQ(agreed.data.size(), 32u);

  const auto serial = peer->serialize();
  Bytes engineKey;
  ASSERT_NO_FATAL_FAILURE(
      test::deriveWithEngine(code, std::span(serial).subspan(2), cardPublic, hostUkm, engineKey));
  EXPECT_EQ(agreed.data, engineKey);

  expectOk(card, "80 52 00 00");
  EXPECT_EQ(send(card, command("80 50 " + hexByte(p1) + " 30", data)).statusWord(), 0x6982);
}

INSTANTIATE_TEST_SUITE_P(Vko, KeyAgreement,
                         ::testing::Values(AgreementCase{2, 0}, AgreementCase{2, 1},
                                           AgreementCase{5, 0}, AgreementCase{5, 1},
                                           AgreementCase{9, 1}),
                         [](const auto& testInfo) {
                           return "code" + std::to_string(testInfo.param.code) + "p" +
                                  std::to_string(testInfo.param.p1);
                         });

}  // namespace
}  // namespace korva::sim::testing
