// PIN objects, the security state and the access conditions of files.
#include <gtest/gtest.h>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {
namespace {

class PinsTest : public ::testing::Test {
 protected:
  VirtualCard card = VirtualCard::makeFresh(testOptions());

  void SetUp() override { expectOk(card, "00 A4 08 00 02 051F"); }

  Answer verifyUser(std::string_view block) {
    return send(card, "00 20 00 07 08 " + std::string(block));
  }

  // 7F 01 in A1 BC with a private and a public data body, both operational,
  // and the never-writable 50 31 after activation; the security state is
  // cleared afterwards.
  void buildApplication() {
    verifySoPin(card);
    expectOk(card, "00 A4 08 00 02 A1BC");
    expectOk(card,
             "00 E0 00 00 1B 62 19 80 01 00 82 01 38 83 02 7F01 86 05 FFFF05FF10 8A 01 03"
             " A5 03 8A 01 01");
    expectOk(card,
             "00 E0 00 00 18 62 16 80 02 0004 82 01 01 83 02 6701 86 06 FFFF121212FF 8A 01 05");
    expectOk(card,
             "00 E0 00 00 18 62 16 80 02 0004 82 01 01 83 02 6702 86 06 FFFF120012FF 8A 01 05");
    expectOk(card,
             "00 E0 00 00 18 62 16 80 02 0004 82 01 01 83 02 5031 86 06 FFFFFF00FFFF 8A 01 03");
    expectOk(card, "00 D6 00 00 04 01020304");  // still in its initialisation state
    expectOk(card, "00 44 00 00");
    expectOk(card, "80 52 00 00");
  }
};

TEST_F(PinsTest, WrongPinsCountDownAndBlock) {
  // The revision says when the card file must be saved: every counter that
  // moves, and nothing else a PIN presentation does.
  const uint64_t start = card.revision();
  expectStatus(card, "00 20 00 07", 0x63CA);
  EXPECT_EQ(card.revision(), start);
  EXPECT_EQ(verifyUser("3131313131313131").statusWord(), 0x63C9);
  const uint64_t lowered = card.revision();
  EXPECT_GT(lowered, start);
  expectStatus(card, "00 20 00 07", 0x63C9);
  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x9000);
  EXPECT_GT(card.revision(), lowered);
  expectStatus(card, "00 20 00 07", 0x9000);  // verified
  card.reset();
  expectOk(card, "00 A4 08 00 02 051F");
  expectStatus(card, "00 20 00 07", 0x63CA);  // a right PIN restored the counter
  const uint64_t full = card.revision();
  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x9000);
  EXPECT_EQ(card.revision(), full);  // a right PIN on a full counter changes nothing

  for (int left = 9; left >= 0; --left)
    EXPECT_EQ(verifyUser("3131313131313131").statusWord(), 0x63C0 | left);
  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x6983);
  expectStatus(card, "00 20 00 07", 0x6983);
  expectStatus(card, "00 20 00 05", 0x63CA);  // the SO PIN is untouched
  expectStatus(card, "00 20 00 04", 0x6A88);
}

TEST_F(PinsTest, SecurityStateEndsWithResetCommandsAndAFailedVerify) {
  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x9000);
  expectOk(card, "80 52 00 00");
  expectStatus(card, "00 20 00 07", 0x63CA);

  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x9000);
  EXPECT_EQ(verifyUser("3131313131313131").statusWord(), 0x63C9);
  expectStatus(card, "00 20 00 07", 0x63C9);
}

TEST_F(PinsTest, AccessConditionsFollowTheSecurityAttributes) {
  buildApplication();
  expectOk(card, "00 A4 08 00 06 A1BC 7F01 6701");
  expectStatus(card, "00 B0 00 00 04", 0x6982);  // private body: user PIN
  expectOk(card, "00 A4 08 00 06 A1BC 7F01 6702");
  expectOk(card, "00 B0 00 00 04");  // public body: always
  expectStatus(card, "00 D6 00 00 01 AA", 0x6982);
  expectStatus(card, "00 E4 00 00 02 6702", 0x6982);

  expectOk(card, "00 A4 08 00 02 051F");
  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x9000);
  expectOk(card, "00 A4 08 00 06 A1BC 7F01 6701");
  expectOk(card, "00 B0 00 00 04");
  expectOk(card, "00 D6 00 00 01 AA");
  expectOk(card, "00 A4 08 00 06 A1BC 7F01 5031");
  expectStatus(card, "00 D6 00 00 01 AA", 0x6982);  // FF: never, once operational
  EXPECT_EQ(expectOk(card, "00 B0 00 00 04").data, hex("01020304"));
  expectOk(card, "00 E4 00 00 02 6702");

  // 7F 01 itself is deleted only with the SO PIN.
  expectOk(card, "00 A4 08 00 04 A1BC 7F01");
  expectOk(card, "00 44 00 00");
  expectOk(card, "00 A4 08 00 02 A1BC");
  expectStatus(card, "00 E4 00 00 02 7F01", 0x6982);
}

TEST_F(PinsTest, UserChangesOwnPinAndSoSetsAndUnblocksIt) {
  const std::string newPin = "31323334FFFFFFFF";  // "1234" padded
  expectStatus(card, "00 24 01 07 08 " + newPin, 0x6982);
  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x9000);
  expectOk(card, "00 24 01 07 08 " + newPin);
  EXPECT_EQ(verifyUser(newPin).statusWord(), 0x9000);
  expectStatus(card, "00 2C 03 07", 0x6982);  // only the SO resets the counter

  for (int i = 0; i < 10; ++i) verifyUser("3131313131313131");
  expectStatus(card, "00 20 00 07", 0x6983);

  // The SO sets a new user PIN and unblocks it, as PIN initialisation does.
  expectOk(card, "00 20 00 05 08 " + std::string(soPinBlock));
  expectOk(card, "00 24 01 07 08 3437313032393538");
  expectOk(card, "00 2C 03 07");
  EXPECT_EQ(verifyUser("3437313032393538").statusWord(), 0x9000);
  expectStatus(card, "00 24 01 05 08 " + newPin, 0x9000);  // the SO, its own PIN
  card.reset();
  expectOk(card, "00 A4 08 00 02 051F");
  expectStatus(card, "00 20 00 05 08 " + newPin, 0x9000);
}

TEST_F(PinsTest, CredentialObjectTakesTheSoDerivedValue) {
  buildApplication();
  expectOk(card, "00 A4 08 00 04 A1BC 7F01");
  expectOk(card,
           "00 E0 00 00 2A 62 28 82 01 11 83 02 0003 86 08 FFFFFF00000505FF 8A 01 03"
           " A5 12 85 01 03 86 01 02 87 01 09 89 01 03 88 01 09 8F 01 01");
  expectStatus(card, "00 20 00 09", 0x6984);  // no value yet
  const std::string credential(48, 'A');
  expectOk(card, "00 24 01 09 18 " + credential);
  expectOk(card, "00 44 00 00");
  expectStatus(card, "00 24 01 09 18 " + credential, 0x6982);  // operational: SO only

  expectOk(card, "00 A4 08 00 02 051F");
  expectOk(card, "00 20 00 05 08 " + std::string(soPinBlock));
  expectOk(card, "00 A4 08 00 04 A1BC 7F01");
  expectOk(card, "00 24 01 09 18 " + std::string(48, 'B'));
  expectOk(card, "00 20 00 09 18 " + std::string(48, 'B'));
}

TEST_F(PinsTest, KeyMaterialLoadsInChainedParts) {
  buildApplication();
  expectOk(card, "00 A4 08 00 02 051F");
  EXPECT_EQ(verifyUser(userPinBlock).statusWord(), 0x9000);
  expectOk(card, "00 A4 08 00 04 A1BC 7F01");
  expectOk(card,
           "00 E0 00 00 32 62 30 82 01 11 83 02 6101 86 0A FFFF121212FFFF001212 8A 01 05"
           " A5 18 85 01 22 86 01 88 87 01 61 88 01 61 8F 01 08 8E 01 02 89 01 00 8B 01 01");
  // An RSA key file takes material that makes a key: the 8-byte exponent
  // field, an odd modulus, a private exponent below it.
  const Bytes first = concat(hex("10 24 01 61 88 0000000000010001"), Bytes(128, 0xC1));
  const Bytes second = concat(hex("00 24 01 61 80"), Bytes(128, 0x22));
  EXPECT_EQ(send(card, first).statusWord(), 0x9000);
  EXPECT_EQ(send(card, second).statusWord(), 0x9000);
  const std::string dump = card.dumpTree();
  std::string modulus;
  for (int i = 0; i < 128; ++i) modulus += "C1";
  const std::string secret = "secret=0000000000010001" + modulus + std::string(256, '2');
  EXPECT_NE(dump.find(secret), std::string::npos) << dump;

  // A chain interrupted by another command is abandoned.
  EXPECT_EQ(send(card, first).statusWord(), 0x9000);
  expectStatus(card, "00 B0 00 00 01", 0x6883);
  expectStatus(card, "00 24 01 62 08 0000000000000000", 0x6A88);  // no such key
}

}  // namespace
}  // namespace korva::sim::testing
