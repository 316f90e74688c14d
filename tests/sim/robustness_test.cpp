// Arbitrary command APDUs: the card answers every one with a status word and
// at most 256 data bytes, and keeps its memory accounting consistent.
#include <gtest/gtest.h>

#include <random>

#include "tests/sim/apdu_text.h"

namespace korva::sim::testing {
namespace {

// Instructions the card knows, so that random commands reach the handlers
// rather than stop at 6D 00.
constexpr uint8_t knownInstructions[] = {0xA4, 0xE0, 0xE4, 0x44, 0xB0, 0xD6, 0xB2,
                                         0xDC, 0xE2, 0xDA, 0x84, 0xC0, 0xC2, 0x20,
                                         0x24, 0x2C, 0xFE, 0x78, 0x74, 0x52};

Bytes randomCommand(std::mt19937& random) {
  Bytes apdu;
  const uint8_t classes[] = {0x00, 0x10, 0x80, 0x90, static_cast<uint8_t>(random())};
  apdu.push_back(classes[random() % 5]);
  apdu.push_back(random() % 8 == 0 ? static_cast<uint8_t>(random())
                                   : knownInstructions[random() % sizeof knownInstructions]);
  apdu.push_back(static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 10));
  apdu.push_back(static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 10));
  const std::size_t tail = random() % 3 == 0 ? random() % 300 : random() % 40;
  for (std::size_t i = 0; i < tail; ++i) apdu.push_back(static_cast<uint8_t>(random()));
  // Often make the length byte agree with the data, and sometimes send a
  // well-formed creation template so that files come and go.
  if (apdu.size() > 5 && random() % 2 == 0) apdu[4] = static_cast<uint8_t>(apdu.size() - 5);
  if (random() % 10 == 0) {
    const uint8_t descriptors[] = {0x01, 0x02, 0x38, 0x11, 0x12};
    const uint8_t descriptor = descriptors[random() % 5];
    Bytes fcp = {0x80, 0x02, static_cast<uint8_t>(random() % 2), static_cast<uint8_t>(random())};
    if (descriptor == 0x02)
      fcp.insert(fcp.end(), {0x82, 0x03, 0x02, 0x00, static_cast<uint8_t>(1 + random() % 255)});
    else
      fcp.insert(fcp.end(), {0x82, 0x01, descriptor});
    fcp.insert(fcp.end(), {0x83, 0x02, static_cast<uint8_t>(random() % 3),
                           static_cast<uint8_t>(random() % 4), 0x8A, 0x01, 0x05});
    apdu = {0x00,
            0xE0,
            0x00,
            0x00,
            static_cast<uint8_t>(fcp.size() + 2),
            0x62,
            static_cast<uint8_t>(fcp.size())};
    apdu.insert(apdu.end(), fcp.begin(), fcp.end());
  }
  return apdu;
}

TEST(RobustnessTest, RandomCommandsGetBoundedAnswers) {
  std::mt19937 random(42);
  VirtualCard card = VirtualCard::makeFresh(testOptions());
  for (int i = 0; i < 60000; ++i) {
    const Bytes apdu = randomCommand(random);
    const Answer answer = card.transmit(apdu);
    ASSERT_LE(answer.data.size(), 256u);
    ASSERT_NE(answer.sw1, 0) << "command " << i;
    if (i % 5000 == 0) card.reset();
  }
  EXPECT_LE(card.freeMemory(), 0x12000u);
  EXPECT_EQ(send(card, "00 A4 00 00 02 3F00").statusWord(), 0x9000);
}

TEST(RobustnessTest, ShortAndEmptyCommandsAreWrongLength) {
  VirtualCard card = VirtualCard::makeFresh(testOptions());
  EXPECT_EQ(card.transmit({}).statusWord(), 0x6700);
  EXPECT_EQ(send(card, "00").statusWord(), 0x6700);
  EXPECT_EQ(send(card, "00 A4 00").statusWord(), 0x6700);
  EXPECT_EQ(send(card, "00 A4 00 00 00 00").statusWord(), 0x6700);       // extended, cut short
  EXPECT_EQ(send(card, "00 A4 00 00 00 0002 3F").statusWord(), 0x6700);  // extended Lc too long
}

}  // namespace
}  // namespace korva::sim::testing
