// Saving and loading the card file: round trip, atomic replacement, and
// refusal of damaged or hostile files.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {
namespace {

namespace fs = std::filesystem;

class CardFileTest : public ::testing::Test {
 protected:
  fs::path directory;
  fs::path cardFile;

  void SetUp() override {
    directory = fs::temp_directory_path() /
                ("korva-sim-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                 "-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    cardFile = directory / "token.card";
  }
  void TearDown() override { fs::remove_all(directory); }

  Bytes readFile() const {
    std::ifstream in(cardFile, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  void writeFile(const Bytes& bytes) const {
    std::ofstream out(cardFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
};

// A card with something of every kind: directories, bodies, records, data
// objects, a key file, a used PIN counter.
VirtualCard populatedCard() {
  VirtualCard card = VirtualCard::makeFresh(testOptions());
  verifySoPin(card);
  expectOk(card, "00 A4 08 00 02 A1BC");
  expectOk(card, "00 E0 00 00 0C 62 0A 82 01 38 83 02 7F01 8A 01 03");
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 0004 82 01 01 83 02 5032 8A 01 05");
  expectOk(card, "00 D6 00 00 04 DEADBEEF");
  expectOk(card, "00 E0 00 00 12 62 10 80 02 0008 82 03 02 C1 04 83 02 5000 8A 01 05");
  expectOk(card, "00 E2 00 00 04 01020304");
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 000C 82 01 12 83 02 50E2 8A 01 03");
  expectOk(card, "00 DA 02 12 02 0107");
  expectOk(card,
           "00 E0 00 00 20 62 1E 82 01 11 83 02 6101 86 04 FFFF1212 8A 01 05"
           " A5 0C 85 01 22 87 01 61 8E 01 02 89 01 00");
  return card;
}

TEST_F(CardFileTest, RoundTripKeepsTheWholeCard) {
  const VirtualCard card = populatedCard();
  card.save(cardFile);
  VirtualCard loaded = VirtualCard::load(cardFile);
  EXPECT_EQ(loaded.dumpTree(), card.dumpTree());
  EXPECT_EQ(loaded.identity(), card.identity());
  EXPECT_EQ(loaded.freeMemory(), card.freeMemory());
  EXPECT_EQ(loaded.options().memorySize, card.options().memorySize);
  EXPECT_EQ(loaded.options().gost2012, card.options().gost2012);

  // Inserted afresh: the master file is current.
  expectStatus(loaded, "00 B0 00 00 04", 0x6986);
  expectOk(loaded, "00 A4 08 00 06 A1BC 7F01 5032");
  EXPECT_EQ(expectOk(loaded, "00 B0 00 00 04").data, hex("DEADBEEF"));
}

TEST_F(CardFileTest, SaveReplacesTheFileAndLeavesNothingElse) {
  VirtualCard card = VirtualCard::makeFresh(testOptions());
  card.save(cardFile);
  expectOk(card, "00 A4 08 00 02 051E");
  expectOk(card, "00 E0 00 00 10 62 0E 80 02 0010 82 01 01 83 02 0101 8A 01 05");
  card.save(cardFile);
  EXPECT_EQ(VirtualCard::load(cardFile).dumpTree(), card.dumpTree());
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);

  EXPECT_THROW(card.save(directory / "missing" / "token.card"), std::runtime_error);
}

// A process killed at any moment of a save leaves the card it replaced or
// the card it wrote, never a mixture: the writer works on a temporary file
// and renames it over the card file only once it is complete and synced.
// A killed writer may leave its temporary file behind; the card file itself
// always loads.
TEST_F(CardFileTest, AWriterKilledMidSaveLeavesTheOldOrTheNewCard) {
  const VirtualCard older = VirtualCard::makeFresh(testOptions());
  const VirtualCard newer = populatedCard();
  const std::string olderDump = older.dumpTree(), newerDump = newer.dumpTree();
  older.save(cardFile);
  std::mt19937 random(7);
  constexpr int kKills = 40;
  int sawOlder = 0, sawNewer = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      // Alternate the two cards for as long as it takes to be killed.
      for (unsigned round = 0;; ++round) (round % 2 ? older : newer).save(cardFile);
    }
    ::usleep(std::uniform_int_distribution<unsigned>(0, 4000)(random));
    ::kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    const std::string loaded = VirtualCard::load(cardFile).dumpTree();
    ASSERT_TRUE(loaded == olderDump || loaded == newerDump) << "kill " << kill;
    (loaded == olderDump ? sawOlder : sawNewer)++;
  }
  // How often each card survived, in the test's XML report: a run where one
  // count is 0 killed the writer too early or too late to prove much.
  RecordProperty("older", sawOlder);
  RecordProperty("newer", sawNewer);
}

TEST_F(CardFileTest, MissingOrForeignFilesAreRefused) {
  EXPECT_THROW(VirtualCard::load(cardFile), std::runtime_error);
  writeFile(hex("00"));
  EXPECT_THROW(VirtualCard::load(cardFile), std::runtime_error);
  writeFile(Bytes(100, 0x4B));
  EXPECT_THROW(VirtualCard::load(cardFile), std::runtime_error);
}

TEST_F(CardFileTest, EveryFlippedByteAndEveryTruncationIsDetected) {
  populatedCard().save(cardFile);
  const Bytes original = readFile();
  for (std::size_t i = 0; i < original.size(); ++i) {
    Bytes damaged = original;
    damaged[i] ^= 0x01;
    writeFile(damaged);
    EXPECT_THROW(VirtualCard::load(cardFile), std::runtime_error) << "byte " << i;
  }
  for (std::size_t length = 0; length < original.size(); length += 7) {
    writeFile(Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length)));
    EXPECT_THROW(VirtualCard::load(cardFile), std::runtime_error) << "length " << length;
  }
}

// Files whose checksum is right but whose content is hostile: the loader must
// refuse them cleanly or load a card that still answers sanely.
TEST_F(CardFileTest, ResealedMutationsNeverCrashTheLoader) {
  populatedCard().save(cardFile);
  const Bytes original = readFile();
  const std::size_t payloadStart = 14;
  const std::size_t sealedLength = original.size() - SHA256_DIGEST_LENGTH;
  std::mt19937 random(1234);
  int loaded = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes mutated = original;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int c = 0; c < changes; ++c) {
      const std::size_t at = payloadStart + random() % (sealedLength - payloadStart);
      mutated[at] = static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : random());
    }
    SHA256(mutated.data(), sealedLength, mutated.data() + sealedLength);
    writeFile(mutated);
    try {
      VirtualCard card = VirtualCard::load(cardFile);
      ++loaded;
      EXPECT_LE(card.options().memorySize, 0x1000000u);
      send(card, "00 A4 08 00 02 A1BC");
      send(card, "80 78 00 00 7F");
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_GT(loaded, 0);  // body bytes change freely
}

TEST_F(CardFileTest, UnknownVersionIsRefused) {
  VirtualCard::makeFresh(testOptions()).save(cardFile);
  Bytes bytes = readFile();
  bytes[9] = 3;  // a format newer than the program's
  SHA256(bytes.data(), bytes.size() - SHA256_DIGEST_LENGTH,
         bytes.data() + bytes.size() - SHA256_DIGEST_LENGTH);
  writeFile(bytes);
  try {
    VirtualCard::load(cardFile);
    FAIL() << "version 3 loaded";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("version 3 is newer"), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(readFile(), bytes);  // left as it is
}

namespace sealed {

constexpr std::string_view secretBody =
    "01 A1A2A3A4A5A6A7A8 B1B2B3B4B5B6B7B8 C1C2C3C4C5C6C7C8 D1D2D3D4D5D6D7D8";

bool contains(const Bytes& file, const Bytes& value) {
  return std::search(file.begin(), file.end(), value.begin(), value.end()) != file.end();
}

// A card holding a secret: a key body 6301 in A1 BC that only the user reads.
VirtualCard cardWithSecretBody() {
  VirtualCard card = VirtualCard::makeFresh(testOptions());
  verifySoPin(card);
  expectOk(card, "00 A4 08 00 02 051F");
  expectOk(card, "00 20 00 07 08 " + std::string(userPinBlock));
  expectOk(card, "00 A4 08 00 02 A1BC");
  expectOk(card, "00 E0 00 00 18 62 16 80 02 0021 82 01 01 83 02 6301 86 06 FFFF120707FF 8A 01 05");
  expectOk(card, "00 D6 00 00 21 " + std::string(secretBody));
  return card;
}

void verifyUser(VirtualCard& card, std::string_view pinBlock, uint16_t statusWord) {
  expectOk(card, "00 A4 08 00 02 051F");
  expectStatus(card, "00 20 00 07 08 " + std::string(pinBlock), statusWord);
  expectOk(card, "00 A4 08 00 04 A1BC 6301");
}

}  // namespace sealed

// A copied card file opens with its PINs and nothing else: the secret body
// is sealed until the right PIN, a wrong one spends a try, and a new PIN
// replaces the old one in the wraps.
TEST_F(CardFileTest, ACopiedCardOpensOnlyWithItsPins) {
  VirtualCard original = sealed::cardWithSecretBody();
  original.save(cardFile);
  const fs::path copy = directory / "copy.card";
  fs::copy_file(cardFile, copy);
  for (const Bytes& secret : {hex(sealed::secretBody), hex(soPinBlock), hex(userPinBlock)})
    EXPECT_FALSE(sealed::contains(readFile(), secret));

  VirtualCard card = VirtualCard::load(copy);
  sealed::verifyUser(card, "3131313131313131", 0x63C9);
  expectStatus(card, "00 B0 00 00 21", 0x6982);
  sealed::verifyUser(card, userPinBlock, 0x9000);
  EXPECT_EQ(expectOk(card, "00 B0 00 00 21").data, hex(sealed::secretBody));

  expectOk(card, "00 A4 08 00 02 051F");
  expectOk(card, "00 24 01 07 08 3937353331383634");
  card.save(copy);
  card = VirtualCard::load(copy);
  sealed::verifyUser(card, userPinBlock, 0x63C9);
  sealed::verifyUser(card, "3937353331383634", 0x9000);
  EXPECT_EQ(expectOk(card, "00 B0 00 00 21").data, hex(sealed::secretBody));
}

// A card file of the first format (PINs, an RSA pair, a GOST key and a key
// body in the clear) is sealed and written back on its first load.
TEST_F(CardFileTest, AFirstFormatFileIsSealedOnItsFirstLoad) {
  fs::copy_file(fs::path(KORVA_SIM_TEST_DATA) / "first_format.card", cardFile);
  const Bytes gostPrivate = hex("061BDDEF20E1762802300948E2D86796E14D91A6BC488423CDFD8F032FFD7FCC");
  VirtualCard card = VirtualCard::load(cardFile, 1);
  const Bytes migrated = readFile();
  EXPECT_EQ(migrated[9], 2);  // the current format
  for (const Bytes& secret :
       {hex("3837363534333231"), hex("3234363831333537"), gostPrivate, hex(sealed::secretBody)})
    EXPECT_FALSE(sealed::contains(migrated, secret));

  sealed::verifyUser(card, "3234363831333537", 0x9000);
  EXPECT_EQ(expectOk(card, "00 B0 00 00 21").data, hex(sealed::secretBody));
  const std::string dump = card.dumpTree();
  const std::size_t rsa = dump.find("secret=0000000000010001");
  ASSERT_NE(rsa, std::string::npos);
  EXPECT_FALSE(sealed::contains(migrated, hex(dump.substr(rsa + 7 + 2 * 136, 2 * 128))));
  expectOk(card, "00 22 C1 B6 03 83 01 30");
  EXPECT_EQ(send(card, "00 2A 9E 9A 20 " + std::string(64, '5')).statusWord(), 0x9000);
  EXPECT_EQ(VirtualCard::load(cardFile).dumpTree(), [&] {
    card.reset();
    return card.dumpTree();
  }());
}

// A sealed value that does not authenticate is reported, by file, when the
// right PIN tries to open it; the card stays sealed and the file as it is.
TEST_F(CardFileTest, ADamagedSealedSecretIsNamedAndLeftAlone) {
  VirtualCard card = sealed::cardWithSecretBody();
  card.save(cardFile);
  const Bytes first = readFile();
  card.save(cardFile);
  Bytes damaged = readFile();
  // Only sealed values (fresh nonces) and the checksum differ between saves.
  const auto at = std::mismatch(first.begin(), first.end(), damaged.begin()).first - first.begin();
  damaged[static_cast<std::size_t>(at) + 20] ^= 0x01;
  const std::size_t sealedLength = damaged.size() - SHA256_DIGEST_LENGTH;
  SHA256(damaged.data(), sealedLength, damaged.data() + sealedLength);
  writeFile(damaged);

  VirtualCard loaded = VirtualCard::load(cardFile);
  sealed::verifyUser(loaded, userPinBlock, 0x6581);
  EXPECT_NE(loaded.damage().find("A1BC/6301 does not authenticate"), std::string::npos)
      << loaded.damage();
  expectStatus(loaded, "00 B0 00 00 21", 0x6982);
  EXPECT_EQ(readFile(), damaged);
}

}  // namespace
}  // namespace korva::sim::testing
