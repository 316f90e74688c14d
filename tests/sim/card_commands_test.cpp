// Card-level commands, GET RESPONSE, ENVELOPE and command chaining, and the
// class and instruction checks.
#include <gtest/gtest.h>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {
namespace {

class CardCommandsTest : public ::testing::Test {
 protected:
  VirtualCard card = VirtualCard::makeFresh(testOptions());

  // A GOST key object F0 nn in the key directory, as a key file.
  void createKeyObject(uint8_t number) {
    verifySoPin(card);
    expectOk(card, "00 A4 08 00 02 051F");
    char apdu[160];
    std::snprintf(apdu, sizeof apdu,
                  "00 E0 00 00 2D 62 2B 82 01 11 83 02 F0 %02X 86 08 FFFF121212FFFFFF 8A 01 05"
                  " A5 15 85 01 21 86 01 08 87 01 %02X 88 01 %02X 89 01 01 8F 01 00 8E 01 00",
                  number, number, number);
    expectOk(card, apdu);
  }

  Bytes informationRecord() {
    expectStatus(card, "80 78 00 00", 0x6C7F);
    const Answer record = expectOk(card, "00 C0 00 00 7F");
    EXPECT_EQ(record.data.size(), 127u);
    return record.data;
  }
};

TEST_F(CardCommandsTest, IdentityComesThroughGetResponse) {
  expectStatus(card, "80 FE 06 00", 0x6120);
  const Answer identity = expectStatus(card, "00 C0 00 00 08", 0x6118);
  const auto expected = card.identity();
  EXPECT_EQ(identity.data, Bytes(expected.begin(), expected.end()));

  // The pending answer is gone once another command runs.
  expectStatus(card, "80 FE 06 00", 0x6120);
  expectOk(card, "00 A4 00 00 02 3F00");
  expectStatus(card, "00 C0 00 00 08", 0x6985);
}

TEST_F(CardCommandsTest, IdentityIsRandomUnlessFixed) {
  CardOptions unseeded;
  unseeded.pinKeyCost = 1;
  const auto first = VirtualCard::makeFresh(unseeded).identity();
  const auto second = VirtualCard::makeFresh(unseeded).identity();
  EXPECT_NE(first, second);
  EXPECT_EQ(VirtualCard::makeFresh(testOptions()).identity(), card.identity());
  CardOptions fixed = unseeded;
  fixed.identity = std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(VirtualCard::makeFresh(fixed).identity(), *fixed.identity);
}

TEST_F(CardCommandsTest, GetResponseServesPendingBytesInParts) {
  expectStatus(card, "80 FE 06 00", 0x6120);
  expectStatus(card, "00 C0 00 00 40", 0x6C20);  // more than there is
  expectStatus(card, "00 C0 00 00 10", 0x6110);
  EXPECT_EQ(expectOk(card, "00 C0 00 00 10").data, Bytes(16, 0));
  expectStatus(card, "00 C0 00 00 10", 0x6985);
}

TEST_F(CardCommandsTest, CapabilityTellsTheGostGeneration) {
  const Answer modern = expectOk(card, "80 FE 00 00 00");
  ASSERT_EQ(modern.data.size(), 31u);
  EXPECT_EQ(modern.data[29], 0);

  CardOptions options = testOptions();
  options.gost2012 = false;
  VirtualCard older = VirtualCard::makeFresh(options);
  const Answer answer = expectOk(older, "80 FE 00 00 00");
  ASSERT_EQ(answer.data.size(), 31u);
  EXPECT_EQ(answer.data[29], 1);
  expectStatus(card, "80 FE 02 00 00", 0x6A86);
}

TEST_F(CardCommandsTest, InformationRecordShowsKeyObjectsAndBitmapRemovesThem) {
  EXPECT_EQ(informationRecord(), Bytes(127, 0));
  createKeyObject(0x30);
  createKeyObject(0x4F);
  const Bytes record = informationRecord();
  EXPECT_EQ(record[47], 0x21);
  EXPECT_EQ(record[78], 0x21);
  EXPECT_EQ(std::count(record.begin(), record.end(), 0), 125);

  // Key 48 is bit 0 of byte 5 (key 1 is bit 7 of byte 0).
  expectOk(card, "80 74 00 00 10 0000000000010000 0000000000000000");
  const Bytes after = informationRecord();
  EXPECT_EQ(after[47], 0);
  EXPECT_EQ(after[78], 0x21);
  expectStatus(card, "00 A4 08 00 04 051F F030", 0x6A82);

  // The fixed block of token initialisation: keys 48 to 79.
  expectOk(card, "80 74 00 00 10 000000000001FFFF FFFE000000000000");
  EXPECT_EQ(informationRecord(), Bytes(127, 0));
  // PIN objects are not key slots and survive any bitmap.
  expectOk(card, "80 74 00 00 10 FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF");
  expectOk(card, "00 A4 08 00 04 051F 0007");
  expectStatus(card, "80 74 00 00 0F 000000000000000000000000000000", 0x6700);
}

TEST_F(CardCommandsTest, GetChallengeGivesFreshRandomBytes) {
  const Answer first = expectOk(card, "00 84 00 00 08");
  const Answer second = expectOk(card, "00 84 00 00 08");
  EXPECT_EQ(first.data.size(), 8u);
  EXPECT_NE(first.data, second.data);
  expectStatus(card, "00 84 00 00", 0x6700);
}

TEST_F(CardCommandsTest, EnvelopeReassemblesACommand) {
  // SELECT by path A1 BC, in three pieces.
  EXPECT_TRUE(expectOk(card, "00 C2 00 00 03 00A408").data.empty());
  EXPECT_TRUE(expectOk(card, "00 C2 00 00 02 0002").data.empty());
  EXPECT_TRUE(expectOk(card, "00 C2 00 00 02 A1BC").data.empty());
  const Answer answer = expectOk(card, "00 C2 00 00 00");
  EXPECT_EQ(answer.data, expectOk(card, "00 A4 08 00 02 A1BC").data);

  expectStatus(card, "00 C2 00 00 00", 0x6985);  // nothing collected
  expectOk(card, "00 C2 00 00 02 00A4");
  expectOk(card, "00 A4 00 00 02 3F00");  // another command drops the pieces
  expectStatus(card, "00 C2 00 00 00", 0x6985);
  expectStatus(card, "00 C2 01 00 02 00A4", 0x6A86);

  // A reassembled command whose lengths do not agree.
  expectOk(card, "00 C2 00 00 06 00A4080004A1");
  expectStatus(card, "00 C2 00 00 00", 0x6700);
}

TEST_F(CardCommandsTest, EnvelopeCarriesCommandsLongerThanOneApdu) {
  expectOk(card, "00 A4 08 00 02 051E");
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 0200 82 01 01 83 02 0101 8A 01 05");
  // UPDATE BINARY of 300 bytes in extended form, sent in 250-byte pieces.
  Bytes command = hex("00 D6 00 00 00 012C");
  for (int i = 0; i < 300; ++i) command.push_back(static_cast<uint8_t>(i));
  for (std::size_t offset = 0; offset < command.size(); offset += 250) {
    const std::size_t piece = std::min<std::size_t>(250, command.size() - offset);
    Bytes envelope = {0x00, 0xC2, 0x00, 0x00, static_cast<uint8_t>(piece)};
    envelope.insert(envelope.end(), command.begin() + static_cast<std::ptrdiff_t>(offset),
                    command.begin() + static_cast<std::ptrdiff_t>(offset + piece));
    ASSERT_EQ(send(card, envelope).statusWord(), 0x9000);
  }
  expectOk(card, "00 C2 00 00 00");
  EXPECT_EQ(expectOk(card, "00 B0 01 2B 01").data, Bytes{0x2B});
}

TEST_F(CardCommandsTest, ClassAndInstructionChecks) {
  expectStatus(card, "0C A4 00 00 02 3F00", 0x6E00);
  expectStatus(card, "00 FE 00 00 00", 0x6E00);  // a proprietary command in the ISO class
  expectStatus(card, "80 A4 00 00 02 3F00", 0x6E00);
  expectStatus(card, "00 99 00 00", 0x6D00);
  expectStatus(card, "00 A4 00", 0x6700);
  expectStatus(card, "00 A4 00 00 05 3F00", 0x6700);  // Lc longer than the data
  expectStatus(card, "10 A4 08 00 02 A1BC", 0x6884);  // SELECT does not chain
}

TEST_F(CardCommandsTest, ResetSelectsTheMasterFile) {
  expectOk(card, "00 A4 08 00 02 051F");
  expectOk(card, "00 A4 09 00 02 0007");
  card.reset();
  expectStatus(card, "00 A4 09 00 02 0007", 0x6A82);
  expectOk(card, "00 A4 09 00 02 051F");
}

}  // namespace
}  // namespace korva::sim::testing
