// READ/UPDATE BINARY, the record commands and PUT DATA.
#include <gtest/gtest.h>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {
namespace {

class FileDataTest : public ::testing::Test {
 protected:
  VirtualCard card = VirtualCard::makeFresh(testOptions());

  void SetUp() override { expectOk(card, "00 A4 08 00 02 051E"); }

  // A transparent file of `size` bytes, current afterwards.
  void createTransparent(uint16_t size) {
    char apdu[96];
    std::snprintf(apdu, sizeof apdu, "00 E0 00 00 10 62 0E 80 02 %04X 82 01 01 83 02 0101 8A 01 05",
                  size);
    expectOk(card, apdu);
  }
};

TEST_F(FileDataTest, ReadBinaryHonoursOffsetsAndTheEndOfTheFile) {
  createTransparent(300);
  Bytes content(300);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(send(card, concat(hex("00 D6 00 00 FF"), Bytes(content.begin(), content.begin() + 255)))
                .statusWord(),
            0x9000);
  ASSERT_EQ(send(card, concat(hex("00 D6 00 FF 2D"), Bytes(content.begin() + 255, content.end())))
                .statusWord(),
            0x9000);

  const Answer first = expectOk(card, "00 B0 00 00 FF");
  const Answer rest = expectOk(card, "00 B0 00 FF 2D");
  EXPECT_EQ(concat(first.data, rest.data), content);
  EXPECT_EQ(expectOk(card, "00 B0 01 2B 01").data, Bytes{content[299]});

  expectStatus(card, "00 B0 01 2C 01", 0x6B00);                  // offset 300: past the end
  expectStatus(card, "00 B0 01 00 40", 0x6C2C);                  // 64 asked, 44 left
  EXPECT_EQ(expectOk(card, "00 B0 01 00 00").data.size(), 44u);  // Le 00: what is left
  EXPECT_EQ(expectOk(card, "00 B0 00 00 00").data.size(), 256u);
}

TEST_F(FileDataTest, UpdateBinaryPastTheEndWritesNothing) {
  createTransparent(16);
  expectStatus(card, "00 D6 00 10 01 AA", 0x6B00);
  expectStatus(card, "00 D6 00 0F 02 AAAA", 0x6A84);
  expectStatus(card, "00 D6 00 00", 0x6700);
  EXPECT_EQ(expectOk(card, "00 B0 00 00 10").data, Bytes(16, 0));
  expectOk(card, "00 D6 00 0E 02 AABB");
  EXPECT_EQ(expectOk(card, "00 B0 00 0E 02").data, hex("AABB"));
}

TEST_F(FileDataTest, RecordFilesFillByAppendUpToTheirCapacity) {
  // Two records of 4 bytes.
  expectOk(card, "00 E0 00 00 12 62 10 80 02 0008 82 03 02 C1 04 83 02 5000 8A 01 05");
  expectStatus(card, "00 B2 01 04 04", 0x6A83);  // a new record file has no records
  expectOk(card, "00 E2 00 00 04 01020304");
  expectOk(card, "00 E2 00 00 04 05060708");
  expectStatus(card, "00 E2 00 00 04 090A0B0C", 0x6A84);
  expectStatus(card, "00 E2 00 00 03 090A0B", 0x6700);

  EXPECT_EQ(expectOk(card, "00 B2 02 04 04").data, hex("05060708"));
  expectStatus(card, "00 B2 02 04 FF", 0x6C04);  // Le differs: told the record length
  expectStatus(card, "00 B2 02 04", 0x6C04);
  expectStatus(card, "00 B2 03 04 04", 0x6A83);
  expectStatus(card, "00 B2 01 00 04", 0x6A86);  // only addressing by record number

  expectOk(card, "00 DC 01 04 04 CAFEBABE");
  EXPECT_EQ(expectOk(card, "00 B2 01 04 04").data, hex("CAFEBABE"));
  expectStatus(card, "00 DC 01 04 05 CAFEBABE00", 0x6700);
  expectStatus(card, "00 DC 03 04 04 CAFEBABE", 0x6A83);

  // Record and transparent commands do not cross structures.
  expectStatus(card, "00 B0 00 00 04", 0x6981);
  createTransparent(8);
  expectStatus(card, "00 B2 01 04 04", 0x6981);
}

TEST_F(FileDataTest, ModuleSizedDirectoryFileHoldsFullRecords) {
  // Its records need the user PIN once it is operational.
  expectOk(card, "00 A4 08 00 02 051F");
  expectOk(card, "00 20 00 07 08 " + std::string(userPinBlock));
  expectOk(card, "00 A4 08 00 02 051E");
  // 50 00 with three 255-byte records, as the object store creates it.
  expectOk(card,
           "00 E0 00 00 1A 62 18 80 02 02FD 82 03 02 C1 FF 83 02 50 00"
           " 86 06 FF FF 12 00 12 12 8A 01 05");
  const Bytes record(255, 0x5A);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(send(card, concat(hex("00 E2 00 00 FF"), record)).statusWord(), 0x9000);
  EXPECT_EQ(expectOk(card, "00 B2 03 04 FF").data, record);
  expectStatus(card, "00 B2 01 04 00", 0x6CFF);
}

TEST_F(FileDataTest, PutDataStoresDataObjectsInTheCurrentFile) {
  // The PIN policy file of token initialisation.
  expectOk(card,
           "00 E0 00 00 1C 62 1A 80 02 00 0C 82 01 12 83 02 50 E2 8A 01 03"
           " 86 05 FF FF FF 00 FF A5 03 84 01 03");
  expectOk(card, "00 DA 02 10 06 01 07 01 05 01 09");
  expectOk(card, "00 DA 02 12 02 01 07");
  expectOk(card, "00 DA 02 14 04 01 05 01 09");
  expectOk(card, "00 DA 02 12 02 01 05");  // replaces
  const std::string dump = card.dumpTree();
  EXPECT_NE(dump.find("data 0210=010701050109"), std::string::npos) << dump;
  EXPECT_NE(dump.find("data 0212=0105"), std::string::npos) << dump;
  EXPECT_NE(dump.find("data 0214=01050109"), std::string::npos) << dump;
  expectStatus(card, "00 DA 02 16", 0x6700);
}

}  // namespace
}  // namespace korva::sim::testing
