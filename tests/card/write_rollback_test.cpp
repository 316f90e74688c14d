#include "tests/card/fake_card.h"

#include "card/write_rollback.h"

#include <gtest/gtest.h>

namespace korva::card {
namespace {

using testing::Bytes;
using testing::FakeCard;

Bytes head(const Bytes& command, std::size_t count) { return Bytes(command.begin(), command.begin() + count); }

TEST(WriteRollback, UndoesNewestFirstUnlessCommitted) {
    FakeCard card;
    for (int i = 0; i < 12; ++i) card.ok();
    {
        CardContext context(card.host());
        WriteRollback rollback(context);
        ASSERT_TRUE(rollback.freeKeySlotOnUndo(0x31));
        ASSERT_TRUE(rollback.deleteFileOnUndo(UndoDirectory::kKeyDirectory, 0xF031));
        ASSERT_TRUE(rollback.clearRecordOnUndo(0x5001, 2));
        // A layer above the card's undoes its own write: here one command.
        ASSERT_TRUE(rollback.onUndo([](CardContext& c) {
            (void)sendCommand(c, Bytes{0x80, 0xCA, 0x00, 0x07}, kTransportFlag0);
        }));
        EXPECT_TRUE(card.sent().empty());
    }
    // A selection first takes any refusal a broken command chain left, then
    // the steps run newest first.
    ASSERT_EQ(card.sent().size(), 8u);
    const Bytes application{0x00, 0xA4, 0x08, 0x00, 0x04, 0xA1, 0xBC, 0x7F, 0x01};
    EXPECT_EQ(card.command(0), application);
    EXPECT_EQ(card.command(1), (Bytes{0x80, 0xCA, 0x00, 0x07}));
    // The record: A1 BC 7F 01, the directory, 255 zero bytes over record 2.
    EXPECT_EQ(card.command(2), application);
    EXPECT_EQ(head(card.command(3), 7), (Bytes{0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x01}));
    EXPECT_EQ(card.command(4), testing::concat({{0x00, 0xDC, 0x02, 0x04, 0xFF}, Bytes(255, 0)}));
    // The key object, from the key directory.
    EXPECT_EQ(card.command(5), (Bytes{0x00, 0xA4, 0x08, 0x00, 0x02, 0x05, 0x1F}));
    EXPECT_EQ(card.command(6), (Bytes{0x00, 0xE4, 0x00, 0x00, 0x02, 0xF0, 0x31}));
    // The key slot last.
    EXPECT_EQ(head(card.command(7), 5), (Bytes{0x80, 0x74, 0x00, 0x00, 0x10}));

    const std::size_t before = card.sent().size();
    {
        CardContext context(card.host());
        WriteRollback rollback(context);
        for (std::size_t i = 0; i < WriteRollback::kCapacity; ++i) ASSERT_TRUE(rollback.freeKeySlotOnUndo(1));
        EXPECT_FALSE(rollback.freeKeySlotOnUndo(1));
        rollback.commit();
    }
    EXPECT_EQ(card.sent().size(), before);
}

}  // namespace
}  // namespace korva::card
