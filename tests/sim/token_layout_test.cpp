// The file layout of an initialised token, built with the commands and
// templates the token module sends, and the object store's directory growth.
#include <gtest/gtest.h>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {
namespace {

struct Step {
  std::string apdu;
  uint16_t statusWord = 0x9000;
};

std::string zeros(std::size_t count) { return std::string(2 * count, '0'); }

// Token initialisation, as the module runs it on a fresh card.
std::vector<Step> initialisationSteps(bool rebuild) {
  std::vector<Step> steps = {
      {"00 A4 00 00 02 3F00"},
      {"00 A4 09 00 02 A1BC"},
      {"00 A4 08 00 02 051F"},
      {"00 20 00 05 08 3837363534333231"},
      {"00 A4 08 00 02 A1BC"},
      {"00 A4 08 00 02 051E"},
      {"00 A4 09 00 02 0101", static_cast<uint16_t>(rebuild ? 0x9000 : 0x6A82)},
  };
  if (!rebuild)
    steps.push_back(
        {"00 E0 00 00 18 62 16 80 02 0064 82 01 01 83 02 0101 86 06 FFFF050000FF 8A 01 05"});
  steps.push_back({"00 A4 08 00 02 A1BC"});
  if (rebuild) {
    steps.push_back({"00 A4 09 00 02 7F01"});
    steps.push_back({"00 A4 09 00 02 70FE"});
    steps.push_back({"00 B0 00 00 06"});
    steps.push_back({"00 E4 00 00 02 7F01"});
  } else {
    steps.push_back({"00 A4 09 00 02 7F01", 0x6A82});
  }
  const std::vector<Step> build = {
      {"00 E0 00 00 1B 62 19 80 01 00 82 01 38 83 02 7F01 86 05 FFFF05FF10 8A 01 03 A5 03 8A 01 01"},
      {"00 E0 00 00 1C 62 1A 80 02 000C 82 01 12 83 02 50E2 8A 01 03 86 05 FFFFFF00FF A5 03 84 01 03"},
      {"00 DA 02 10 06 010701050109"},
      {"00 DA 02 12 02 0107"},
      {"00 DA 02 14 04 01050109"},
      {"00 44 00 00"},
      {"00 A4 08 00 02 051F"},
      {"00 24 01 07 08 3437313032393538"},
      {"00 A4 08 00 04 A1BC 7F01"},
      {"00 E0 00 00 2A 62 28 82 01 11 83 02 0003 86 08 FFFFFF00000505FF 8A 01 03"
       " A5 12 85 01 03 86 01 02 87 01 09 89 01 03 88 01 09 8F 01 01"},
      {"00 24 01 09 18 " + std::string(48, 'C')},
      {"00 44 00 00"},
      {"00 E0 00 00 1D 62 1B 80 02 0030 82 01 01 83 02 5031 86 06 FFFFFF00FFFF 8A 01 03 A5 03 90 01 01"},
      {"00 D6 00 00 30 A0063004040250 00A1063004040250 01A3063004040250 03A4063004040250"
       " 04A7063004040250 07A8063004040250 08"},
      {"00 44 00 00"},
      {"80 FE 06 00", 0x6120},
      {"00 C0 00 00 08", 0x6118},
      {"00 E0 00 00 1D 62 1B 80 02 0080 82 01 01 83 02 5032 86 06 FFFFFF00FFFF 8A 01 03 A5 03 90 01 01"},
      {"00 D6 00 00 3D 303B 020100 0408" + zeros(8) + " 0C044C554D4F A022 0C20" +
       std::string(64, '2') + " 03020460"},
      {"00 44 00 00"},
      {"00 E0 00 00 1D 62 1B 80 02 0064 82 01 01 83 02 50E1 86 06 FFFFFF00FFFF 8A 01 03 A5 03 90 01 01"},
      {"00 D6 00 00 64 0201 010303000300030003000300030000" + zeros(83)},
      {"00 44 00 00"},
      {"00 E0 00 00 1D 62 1B 80 02 0064 82 01 01 83 02 70FE 86 06 FFFFFF0000FF 8A 01 03 A5 03 90 01 01"},
      {"00 D6 00 00 64 " + zeros(8) + "01" + zeros(91)},
      {"00 44 00 00"},
      {"00 E0 00 00 17 62 15 80 01 11 82 01 01 83 02 70FD 86 06 FFFFFF0009FF 8A 01 05"},
      {"00 E0 00 00 17 62 15 80 01 FC 82 01 01 83 02 7000 86 06 FFFFFF0000FF 8A 01 03"},
      {"00 D6 00 00 24 FD700103 6361726469640000 FE700100 6361726463660000"
       " 01703800 6D73637000000000"},
      {"00 44 00 00"},
      {"00 E0 00 00 2D 62 2B 82 01 38 83 02 7001 86 05 FFFFFFFF00 8A 01 03 84 10 6D736370" +
       zeros(12) + " 80 01 12 A5 03 8A 01 01"},
      {"00 E0 00 00 18 62 16 80 02 0103 82 01 01 83 02 70FD 86 06 FFFF120000FF 8A 01 05"},
      {"00 E0 00 00 17 62 15 80 01 FC 82 01 01 83 02 7000 86 06 FFFFFF0000FF 8A 01 03"},
      {"00 D6 00 00 0C FD700100 636D617066696C65"},
      {"00 44 00 00"},
      {"00 44 00 00 02 7001"},
      {"00 A4 08 00 04 A1BC 7F01"},
      {"00 A4 08 00 04 A1BC 7F01"},
      {"00 44 00 00"},
      {"80 74 00 00 10 000000000001FFFF FFFE000000000000"},
  };
  steps.insert(steps.end(), build.begin(), build.end());
  return steps;
}

void run(VirtualCard& card, const std::vector<Step>& steps) {
  for (const Step& step : steps) expectStatus(card, step.apdu, step.statusWord);
}

uint8_t lifeCycleOf(VirtualCard& card, std::string_view path) {
  const Answer answer = send(card, "00 A4 08 00 " + std::string(path));
  // 8A 01 xx is present in every FCP; find it.
  for (std::size_t i = 2; i + 2 < answer.data.size(); ++i)
    if (answer.data[i] == 0x8A && answer.data[i + 1] == 0x01) return answer.data[i + 2];
  return 0xFF;
}

class TokenLayoutTest : public ::testing::Test {
 protected:
  VirtualCard card = VirtualCard::makeFresh(testOptions());
};

TEST_F(TokenLayoutTest, InitialisationBuildsAnOperationalApplication) {
  run(card, initialisationSteps(false));
  EXPECT_EQ(lifeCycleOf(card, "04 A1BC 7F01"), 0x05);
  EXPECT_EQ(lifeCycleOf(card, "06 A1BC 7F01 7001"), 0x05);
  for (const char* file : {"50E2", "0003", "5031", "5032", "50E1", "70FE", "70FD", "7000"})
    EXPECT_EQ(lifeCycleOf(card, std::string("06 A1BC 7F01 ") + file), 0x05) << file;
  EXPECT_EQ(lifeCycleOf(card, "08 A1BC 7F01 7001 70FD"), 0x05);
  EXPECT_EQ(lifeCycleOf(card, "04 051E 0101"), 0x05);

  // What token information reads: the label file and the settings record.
  expectOk(card, "00 A4 08 00 06 A1BC 7F01 5032");
  EXPECT_EQ(expectOk(card, "00 B0 00 00 02").data, hex("303B"));
  expectOk(card, "00 A4 08 00 06 A1BC 7F01 50E1");
  EXPECT_EQ(expectOk(card, "00 B0 00 00 03").data, hex("020101"));
}

TEST_F(TokenLayoutTest, ReinitialisationRebuildsTheApplication) {
  run(card, initialisationSteps(false));
  const uint32_t freeAfterFirst = card.freeMemory();
  expectOk(card, "00 A4 08 00 06 A1BC 7F01 5031");
  run(card, initialisationSteps(true));
  EXPECT_EQ(card.freeMemory(), freeAfterFirst);
  EXPECT_EQ(lifeCycleOf(card, "04 A1BC 7F01"), 0x05);
}

// Recreating a directory file with more records, as the object store grows
// it: delete, create larger, append the saved records and empty ones.
TEST_F(TokenLayoutTest, DirectoryFilesGrowByRecreationUntilMemoryRunsOut) {
  CardOptions options = testOptions();
  options.memorySize = 0x8000;
  card = VirtualCard::makeFresh(options);
  run(card, initialisationSteps(false));
  // Directory files need the user PIN, which initialisation set to its default.
  expectOk(card, "00 A4 08 00 02 051F");
  expectOk(card, "00 20 00 07 08 3437313032393538");
  const Bytes empty(255, 0);
  uint32_t records = 0;
  for (;;) {
    expectOk(card, "00 A4 08 00 04 A1BC 7F01");
    if (records != 0) expectOk(card, "00 E4 00 00 02 5007");
    const uint32_t grown = records + 9;
    char create[128];
    std::snprintf(create, sizeof create,
                  "00 E0 00 00 1A 62 18 80 02 %04X 82 03 02 C1 FF 83 02 5007"
                  " 86 06 FF FF 12 00 12 12 8A 01 05",
                  grown * 255);
    if (send(card, create).statusWord() == 0x6A84) {
      // No room: the directory is recreated at its old size.
      std::snprintf(create, sizeof create,
                    "00 E0 00 00 1A 62 18 80 02 %04X 82 03 02 C1 FF 83 02 5007"
                    " 86 06 FF FF 12 00 12 12 8A 01 05",
                    records * 255);
      expectOk(card, create);
      for (uint32_t i = 0; i < records; ++i)
        ASSERT_EQ(send(card, concat(hex("00 E2 00 00 FF"), empty)).statusWord(), 0x9000);
      break;
    }
    for (uint32_t i = 0; i < grown; ++i)
      ASSERT_EQ(send(card, concat(hex("00 E2 00 00 FF"), empty)).statusWord(), 0x9000);
    records = grown;
  }
  // 0x8000 bytes hold a little over 110 records beside the token's files.
  EXPECT_GE(records, 99u);
  EXPECT_LT(card.freeMemory(), 9u * 255);
  expectOk(card, "00 A4 09 00 02 5007");
  char last[32];
  std::snprintf(last, sizeof last, "00 B2 %02X 04 FF", records);
  EXPECT_EQ(expectOk(card, last).data, empty);
}

}  // namespace
}  // namespace korva::sim::testing
