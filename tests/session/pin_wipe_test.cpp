#include "session/pin.h"

#include "tests/card/fake_card.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace korva::token {
namespace {

using testing::Bytes;

// The PIN block crosses the context's command buffer: once VERIFY has been
// answered, nothing of it may stay there for later commands to carry along.
TEST(Verify, CommandBufferHoldsNoPinBlockAfterwards) {
    testing::FakeCard card;
    card.ok();
    CardContext context(card.host());
    const Bytes pin{'4', '7', '1', '1'};
    ASSERT_EQ(verify(context, pin, user_type::kUser), result::kOk);
    ASSERT_EQ(card.sent().size(), 1u);
    EXPECT_EQ(card.command(0), (Bytes{0x00, 0x20, 0x00, 0x07, 0x08, '4', '7', '1', '1', 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(std::ranges::all_of(context.command, [](uint8_t byte) { return byte == 0; }));
}

}  // namespace
}  // namespace korva::token
