// Secrets pass through the card context's buffers and the helpers that fill
// them: nothing of them may outlive the call that sent them.
#include "tests/card/fake_card.h"
#include "tests/support/stack_probe.h"

#include "card/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>

namespace korva::card {
namespace {

using test::stackBelowHolds;

using testing::Bytes;

// A transport that answers 90 00 and keeps no copy of what it was sent.
uint32_t acceptSilently(HostContext, const uint8_t*, uint32_t, uint8_t*, uint32_t* responseLength, uint8_t* sw1,
                        uint8_t* sw2, uint32_t, uint32_t) {
    *responseLength = 0;
    *sw1 = 0x90;
    *sw2 = 0x00;
    return 0;
}

Bytes secretPattern() {
    Bytes secret(300);
    for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(0xA5 ^ (i * 7));
    return secret;
}

[[gnu::noinline]] CardResult writeWithAContextOfItsOwn(const Bytes& secret) {
    CardContext context(HostContext{0, 0, &acceptSilently, nullptr});
    return updateBinary(context, 0, secret);
}

TEST(Wipe, UpdateBinaryLeavesNoCopyOnTheStack) {
    const Bytes secret = secretPattern();
    ASSERT_EQ(writeWithAContextOfItsOwn(secret), result::kOk);
    // The last piece (45 bytes) is the one most likely to survive.
    EXPECT_FALSE(stackBelowHolds(std::span(secret).last(32)));
    EXPECT_FALSE(stackBelowHolds(std::span(secret).first(32)));
}

TEST(Wipe, DestroyedContextLeavesBothBuffersZero) {
    alignas(CardContext) std::array<unsigned char, sizeof(CardContext)> storage{};
    auto* context = new (storage.data()) CardContext(HostContext{0, 0, &acceptSilently, nullptr});
    const Bytes secret = secretPattern();
    std::copy_n(secret.begin(), context->command.size(), context->command.begin());
    std::copy_n(secret.begin(), context->response.size(), context->response.begin());
    const std::size_t commandAt = offsetof(CardContext, command);
    const std::size_t responseAt = offsetof(CardContext, response);
    std::destroy_at(context);
    EXPECT_TRUE(std::all_of(storage.begin() + commandAt, storage.begin() + commandAt + CardContext::kCommandCapacity,
                            [](unsigned char byte) { return byte == 0; }));
    EXPECT_TRUE(std::all_of(storage.begin() + responseAt, storage.begin() + responseAt + CardContext::kResponseCapacity,
                            [](unsigned char byte) { return byte == 0; }));
}

}  // namespace
}  // namespace korva::card
