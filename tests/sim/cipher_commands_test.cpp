// Secret keys in key files 63 nn: loading, SET CIPHER ENVIRONMENT and
// ENCIPHER / DECIPHER in CLA 10 pieces, checked against OpenSSL.
#include <openssl/evp.h>

#include "tests/sim/key_card.h"
#include "common/openssl_ptr.h"

namespace korva::sim::testing {
namespace {

struct CipherCase {
  const char* name;
  uint8_t algorithm;  // A5/85: 02 DES, 03 two-key triple DES, 04 AES
  uint8_t variant;    // A5/8F: AES key length
  std::size_t keyLength;
  const EVP_CIPHER* (*reference)();  // CBC, with the key as OpenSSL takes it
};
void PrintTo(const CipherCase& cipher, std::ostream* out) { *out << cipher.name; }

// OpenSSL 3 keeps single DES out of its default provider: the reference
// runs DES as triple DES with K1 = K2 = K3 and two-key triple DES with
// K3 = K1.
Bytes referenceKey(const CipherCase& cipher, const Bytes& key) {
  Bytes threeKeys = key;
  if (cipher.algorithm == 0x02) {
    threeKeys.insert(threeKeys.end(), key.begin(), key.end());
    threeKeys.insert(threeKeys.end(), key.begin(), key.end());
  } else if (cipher.algorithm == 0x03) {
    threeKeys.insert(threeKeys.end(), key.begin(), key.begin() + 8);
  }
  return threeKeys;
}

Bytes referenceCbc(const CipherCase& cipher, const Bytes& key, const Bytes& iv, const Bytes& input,
                   bool encrypt) {
  const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
  const Bytes cipherKey = referenceKey(cipher, key);
  Bytes out(input.size());
  int length = 0;
  EXPECT_EQ(EVP_CipherInit_ex(context.get(), cipher.reference(), nullptr, cipherKey.data(),
                              iv.data(), encrypt ? 1 : 0),
            1);
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  EXPECT_EQ(EVP_CipherUpdate(context.get(), out.data(), &length, input.data(),
                             static_cast<int>(input.size())),
            1);
  return out;
}

class SecretKeys : public KeyCard {
 protected:
  // Key file 63 01 with reference 51, loaded as the module does: an 8-byte
  // header, then the key.
  void loadKey(uint8_t algorithm, uint8_t variant, const Bytes& key) {
    openApplication();
    createSecretKeyFile(0x6301, 0x51, algorithm, variant);
    ASSERT_EQ(send(card, command("00 24 01 51", concat(Bytes(8, 0), key))).statusWord(), 0x9000);
  }
  void setCipherEnvironment(uint8_t mode, const Bytes& iv) {
    expectOk(card, "00 22 F3 00");
    expectOk(card, "00 22 C1 B8 06 83 01 51 8C 01 " + hexByte(mode));
    ASSERT_EQ(
        send(card, command("00 22 C1 B8", concat(hex("87" + hexByte(iv.size())), iv))).statusWord(),
        0x9000);
  }
  // The text in pieces of `piece` bytes, CLA 10 on all but the last; the
  // answers joined, each without its first `skip` bytes.
  Bytes inPieces(std::string_view p1p2, const Bytes& text, std::size_t piece, bool decipher) {
    Bytes joined;
    for (std::size_t offset = 0; offset < text.size(); offset += piece) {
      const std::size_t length = std::min(piece, text.size() - offset);
      const bool last = offset + length == text.size();
      Bytes data = decipher ? Bytes{0x02} : Bytes{};
      data.insert(data.end(), text.begin() + static_cast<std::ptrdiff_t>(offset),
                  text.begin() + static_cast<std::ptrdiff_t>(offset + length));
      const Answer answer =
          send(card, command(std::string(last ? "00" : "10") + " 2A " + std::string(p1p2), data));
      EXPECT_EQ(answer.statusWord(), 0x9000);
      if (answer.data.empty()) return {};
      if (!decipher) {
        EXPECT_EQ(answer.data[0], 0x02);  // padding indicator
      }
      joined.insert(joined.end(), answer.data.begin() + (decipher ? 0 : 1), answer.data.end());
    }
    return joined;
  }
};

class EveryCipher : public SecretKeys, public ::testing::WithParamInterface<CipherCase> {};

TEST_P(EveryCipher, ChainedPiecesMatchOneCbcPass) {
  const CipherCase& cipher = GetParam();
  const Bytes key = hex("0123456789ABCDEF FEDCBA9876543210 0011223344556677 8899AABBCCDDEEFF");
  const Bytes cardKey(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(cipher.keyLength));
  loadKey(cipher.algorithm, cipher.variant, cardKey);
  const std::size_t block = cipher.algorithm == 0x04 ? 16 : 8;
  const Bytes iv(block, 0x5A);
  Bytes plain(block * 30);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7);

  setCipherEnvironment(0x02, iv);
  const Bytes enciphered = inPieces("86 80", plain, 224, false);
  EXPECT_EQ(enciphered, referenceCbc(cipher, cardKey, iv, plain, true));

  setCipherEnvironment(0x02, iv);
  EXPECT_EQ(inPieces("80 86", enciphered, 224, true), plain);
  // A finished chain starts again from the initial vector.
  EXPECT_EQ(inPieces("80 86", enciphered, 224, true), plain);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, EveryCipher,
                         ::testing::Values(CipherCase{"des", 0x02, 0, 8, EVP_des_ede3_cbc},
                                           CipherCase{"des2", 0x03, 0, 16, EVP_des_ede3_cbc},
                                           CipherCase{"aes128", 0x04, 0, 16, EVP_aes_128_cbc},
                                           CipherCase{"aes192", 0x04, 1, 24, EVP_aes_192_cbc},
                                           CipherCase{"aes256", 0x04, 2, 32, EVP_aes_256_cbc}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The published DES example: "Now is t" under 01 23 45 67 89 AB CD EF.
TEST_F(SecretKeys, DesEcbKnownAnswer) {
  loadKey(0x02, 0x00, hex("0123456789ABCDEF"));
  setCipherEnvironment(0x01, Bytes(8, 0));
  const Answer answer = send(card, "00 2A 86 80 08 4E6F772069732074");
  ASSERT_EQ(answer.statusWord(), 0x9000);
  EXPECT_EQ(answer.data, hex("02 3FA40E8A984D4815"));
  EXPECT_EQ(send(card, "00 2A 80 86 09 02 3FA40E8A984D4815").data, hex("4E6F772069732074"));
}

TEST_F(SecretKeys, RefusalsLeaveTheKeyUnused) {
  loadKey(0x03, 0x00, Bytes(16, 0x3C));  // a two-key triple-DES file, not a PIN
  expectStatus(card, "00 2A 86 80 08 0001020304050607", 0x6985);  // no environment
  setCipherEnvironment(0x02, Bytes(8, 0));
  expectStatus(card, "00 2A 86 80 07 00010203040506", 0x6700);       // not whole blocks
  expectStatus(card, "00 2A 80 86 09 01 0001020304050607", 0x6A80);  // padding indicator
  expectStatus(card, "00 22 C1 B8 06 83 01 51 8C 01 04", 0x6A80);    // mechanism unknown
  expectStatus(card, "00 22 C1 B8 03 83 01 59", 0x6A88);
  expectOk(card, "80 52 00 00");
  expectStatus(card, "00 2A 86 80 08 0001020304050607", 0x6982);  // user PIN needed
}

}  // namespace
}  // namespace korva::sim::testing
