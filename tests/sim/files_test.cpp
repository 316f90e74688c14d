// SELECT, CREATE FILE, DELETE FILE and ACTIVATE, with the FCP answers.
#include <gtest/gtest.h>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {
namespace {

// The value of `tag` among the direct children of an FCP template 62 L ...
// (short lengths only, as the virtual card writes them for small files).
Bytes fcpTag(const Bytes& fcp, uint8_t tag) {
  if (fcp.size() < 2 || fcp[0] != 0x62) return {};
  std::size_t offset = 2;
  while (offset + 2 <= fcp.size()) {
    const uint8_t current = fcp[offset];
    const std::size_t length = fcp[offset + 1];
    if (offset + 2 + length > fcp.size()) return {};
    if (current == tag) return Bytes(fcp.begin() + offset + 2, fcp.begin() + offset + 2 + length);
    offset += 2 + length;
  }
  return {};
}

uint32_t freeMemoryInFcp(const Bytes& fcp) {
  const Bytes a5 = fcpTag(fcp, 0xA5);
  // The card writes the free memory as the last TLV of A5: 82 04 xx xx xx xx.
  EXPECT_GE(a5.size(), 6u);
  if (a5.size() < 6) return 0;
  EXPECT_EQ(a5[a5.size() - 6], 0x82);
  uint32_t value = 0;
  for (std::size_t i = a5.size() - 4; i < a5.size(); ++i) value = value << 8 | a5[i];
  return value;
}

class FilesTest : public ::testing::Test {
 protected:
  VirtualCard card = VirtualCard::makeFresh(testOptions());

  // A1 BC selected, 7F 01 created in it (and current).
  void createApplicationDirectory() {
    verifySoPin(card);
    expectOk(card, "00 A4 08 00 02 A1BC");
    expectOk(card,
             "00 E0 00 00 1B 62 19 80 01 00 82 01 38 83 02 7F 01 86 05 FF FF 05 FF 10"
             " 8A 01 03 A5 03 8A 01 01");
  }
};

TEST_F(FilesTest, FactoryCardHasItsDirectoriesOperational) {
  const Answer mf = expectOk(card, "00 A4 00 00 02 3F00");
  EXPECT_EQ(fcpTag(mf.data, 0x82), hex("38"));
  EXPECT_EQ(fcpTag(mf.data, 0x83), hex("3F00"));
  EXPECT_EQ(fcpTag(mf.data, 0x8A), hex("05"));
  EXPECT_EQ(freeMemoryInFcp(mf.data), card.freeMemory());
  EXPECT_LT(card.freeMemory(), 0x12000u);

  for (const char* path : {"A1BC", "051F", "051E"}) {
    const Answer answer = expectOk(card, std::string("00 A4 08 00 02 ") + path);
    EXPECT_EQ(fcpTag(answer.data, 0x8A), hex("05")) << path;
  }
  expectStatus(card, "00 A4 08 00 04 A1BC 7F01", 0x6A82);
}

TEST_F(FilesTest, CreatedTransparentFileAnswersItsTemplateAndBecomesCurrent) {
  createApplicationDirectory();
  expectOk(card,
           "00 E0 00 00 1D 62 1B 80 02 00 64 82 01 01 83 02 50 E1 86 06 FF FF FF 00 FF FF"
           " 8A 01 03 A5 03 90 01 01");
  // Current right after creation: the module writes it at once.
  expectOk(card, "00 D6 00 00 02 0201");

  const Answer fcp = expectOk(card, "00 A4 08 00 06 A1BC 7F01 50E1");
  // Size 100; allocated = 100 + 32 bytes of file overhead.
  EXPECT_EQ(fcp.data, hex("62 1F 80 02 0064 81 02 0084 82 01 01 83 02 50E1 8A 01 03"
                          " 86 06 FFFFFF00FFFF A5 03 90 01 01"));
}

TEST_F(FilesTest, NewDirectoryBecomesCurrentAndReportsFreeMemory) {
  createApplicationDirectory();
  const uint32_t before = card.freeMemory();
  expectOk(card, "00 E0 00 00 18 62 16 80 02 0100 82 01 01 83 02 5032 86 06 FFFF120000FF 8A 01 05");
  EXPECT_EQ(card.freeMemory(), before - 0x100 - 32);

  const Answer dir = expectOk(card, "00 A4 08 00 04 A1BC 7F01");
  EXPECT_EQ(fcpTag(dir.data, 0x82), hex("38"));
  EXPECT_EQ(fcpTag(dir.data, 0x8A), hex("03"));
  EXPECT_EQ(fcpTag(dir.data, 0x86), hex("FFFF05FF10"));
  EXPECT_EQ(freeMemoryInFcp(dir.data), card.freeMemory());
  // The creation's own A5 content stays ahead of the free memory.
  const Bytes a5 = fcpTag(dir.data, 0xA5);
  ASSERT_GE(a5.size(), 3u);
  EXPECT_EQ(Bytes(a5.begin(), a5.begin() + 3), hex("8A0101"));
}

TEST_F(FilesTest, SelectionByIdentifierReachesChildrenSelfParentAndMasterFile) {
  createApplicationDirectory();
  expectOk(card, "00 A4 09 00 02 7F01");              // the current directory itself
  expectOk(card, "00 A4 09 00 02 A1BC");              // its parent
  expectOk(card, "00 A4 09 00 02 7F01");              // a child of A1 BC
  expectStatus(card, "00 A4 09 00 02 051F", 0x6A82);  // not a child of A1 BC
  expectOk(card, "00 A4 00 00 02 3F00");
  expectOk(card, "00 A4 09 00 02 051F");
  expectOk(card, "00 A4 08 00 06 3F00 A1BC 7F01");       // the master file's id may lead
  expectStatus(card, "00 A4 08 00 03 A1BC 7F", 0x6A87);  // odd path
  expectStatus(card, "00 A4 08 00 04 051F 0005", 0x9000);
  expectStatus(card, "00 A4 08 00 06 051F 0005 0001", 0x6A82);  // through an elementary file
  expectStatus(card, "00 A4 07 00 02 3F00", 0x6A86);
}

TEST_F(FilesTest, CreationRejectsDuplicatesAndMalformedTemplates) {
  createApplicationDirectory();
  const char* file = "00 E0 00 00 10 62 0E 80 02 0010 82 01 01 83 02 0101 8A 01 05";
  expectOk(card, file);
  expectStatus(card, file, 0x6A89);
  expectStatus(card, "00 E0 00 00 0C 62 0A 82 01 38 83 02 7F01 8A 01 05", 0x6A89);  // own id
  expectStatus(card, "00 E0 00 00 09 62 07 80 02 0010 82 01 01", 0x6A80);           // no 83
  expectStatus(card, "00 E0 00 00 0C 62 0A 82 01 07 83 02 0102 8A 01 05", 0x6A80);  // descriptor
  expectStatus(card, "00 E0 00 00 0F 62 0D 80 02 0010 82 03 02C100 83 02 0103",
               0x6A80);                                               // record length 0
  expectStatus(card, "00 E0 00 00 07 62 05 82 01 01 83 09", 0x6A80);  // value runs past the end
  expectStatus(card, "00 E0 00 00 0C 62 0A 82 01 01 83 02 3F00 8A 01 05", 0x6A80);  // reserved id
}

TEST_F(FilesTest, CreationThatDoesNotFitChangesNothing) {
  card = VirtualCard::makeFresh([] {
    CardOptions options = testOptions();
    options.memorySize = 0x1000;
    return options;
  }());
  expectOk(card, "00 A4 08 00 02 051E");
  const std::string before = card.dumpTree();
  const uint32_t free = card.freeMemory();
  // Exactly the free memory fits; one byte more does not.
  const uint32_t fits = free - 32;
  char apdu[128];
  std::snprintf(apdu, sizeof apdu, "00 E0 00 00 10 62 0E 80 02 %04X 82 01 01 83 02 0102 8A 01 05",
                fits + 1);
  expectStatus(card, apdu, 0x6A84);
  EXPECT_EQ(card.dumpTree(), before);
  std::snprintf(apdu, sizeof apdu, "00 E0 00 00 10 62 0E 80 02 %04X 82 01 01 83 02 0102 8A 01 05",
                fits);
  expectOk(card, apdu);
  EXPECT_EQ(card.freeMemory(), 0u);
}

TEST_F(FilesTest, DeletingADirectoryFreesItsSubtree) {
  const uint32_t before = card.freeMemory();
  createApplicationDirectory();
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 0200 82 01 01 83 02 5031 8A 01 05");
  expectOk(card, "00 E0 00 00 0C 62 0A 82 01 38 83 02 7001 8A 01 05");
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 0300 82 01 01 83 02 70FD 8A 01 05");
  EXPECT_LT(card.freeMemory(), before);

  expectOk(card, "00 A4 08 00 02 A1BC");
  expectOk(card, "00 E4 00 00 02 7F01");
  EXPECT_EQ(card.freeMemory(), before);
  expectStatus(card, "00 A4 08 00 04 A1BC 7F01", 0x6A82);
  expectStatus(card, "00 E4 00 00 02 7F01", 0x6A82);
}

TEST_F(FilesTest, DeletingTheCurrentFileLeavesNoCurrentFile) {
  createApplicationDirectory();
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 0010 82 01 01 83 02 5031 8A 01 05");
  expectOk(card, "00 E4 00 00 02 5031");
  expectStatus(card, "00 B0 00 00 01", 0x6986);
  expectStatus(card, "00 E4 00 00", 0x6986);
}

TEST_F(FilesTest, ActivateMakesTheCurrentOrNamedFileOperational) {
  createApplicationDirectory();
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 0010 82 01 01 83 02 5031 8A 01 03");
  expectOk(card, "00 44 00 00");  // the current file, 50 31
  EXPECT_EQ(fcpTag(expectOk(card, "00 A4 09 00 02 5031").data, 0x8A), hex("05"));
  EXPECT_EQ(fcpTag(expectOk(card, "00 A4 08 00 04 A1BC 7F01").data, 0x8A), hex("03"));

  expectOk(card, "00 E0 00 00 0C 62 0A 82 01 38 83 02 7001 8A 01 03");
  expectOk(card, "00 44 00 00 02 7001");  // the current directory, by identifier
  EXPECT_EQ(fcpTag(expectOk(card, "00 A4 08 00 06 A1BC 7F01 7001").data, 0x8A), hex("05"));
  expectOk(card, "00 A4 08 00 04 A1BC 7F01");
  expectOk(card, "00 44 00 00");  // a selected directory is the current file
  EXPECT_EQ(fcpTag(expectOk(card, "00 A4 08 00 04 A1BC 7F01").data, 0x8A), hex("05"));
  expectStatus(card, "00 44 00 00 02 1234", 0x6A82);
}

TEST_F(FilesTest, KeyFilesReportTheirKeyAttributeBytes) {
  createApplicationDirectory();
  // A key file as the module creates it for an RSA key (first form).
  expectOk(card,
           "00 E0 00 00 32 62 30 82 01 11 83 02 6101 86 0A FFFF121212FFFF001212 8A 01 05"
           " A5 18 85 01 22 86 01 88 87 01 61 88 01 61 8F 01 08 8E 01 02 89 01 00 8B 01 01");
  const Answer key = expectOk(card, "00 A4 09 00 02 6101");
  EXPECT_EQ(fcpTag(key.data, 0x82), hex("11"));
  EXPECT_EQ(fcpTag(key.data, 0xA5), hex("850122 860188 870161 880161 8F0108 8E0102 890100 8B0101"));

  // The PIN-type object carries no 8E; the card reports it as 00.
  expectOk(card, "00 A4 08 00 04 A1BC 7F01");
  expectOk(card,
           "00 E0 00 00 2A 62 28 82 01 11 83 02 0003 86 08 FFFFFF0000 0505FF 8A 01 03"
           " A5 12 85 01 03 86 01 02 87 01 09 89 01 03 88 01 09 8F 01 01");
  const Answer pin = expectOk(card, "00 A4 09 00 02 0003");
  EXPECT_EQ(fcpTag(pin.data, 0xA5), hex("850103 860102 870109 890103 880109 8F0101 8E0100"));
}

}  // namespace
}  // namespace korva::sim::testing
