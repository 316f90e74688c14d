#include "sign/gost_hash.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace korva::sign {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(GostHash, Gost94ValidatesTheNamedParameterSet) {
    const Bytes data{'a', 'b', 'c'};
    std::array<uint8_t, kGost94Length> plain{}, named{};
    ASSERT_TRUE(hashGost94(data, {}, plain));
    const Bytes gost2012_256{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    ASSERT_TRUE(hashGost94(data, gost2012_256, named));
    EXPECT_EQ(plain, named) << "the parameter set is only validated";

    const Bytes truncated(gost2012_256.begin(), gost2012_256.end() - 1);
    EXPECT_FALSE(hashGost94(data, truncated, named));
    EXPECT_FALSE(hashGost94({}, Bytes{0x05, 0x00}, named)) << "also for the empty message";
}

TEST(GostHash, Gost2012TakesOnlyItsTwoSizesAndRoomForThem) {
    const Bytes data{1, 2, 3};
    Bytes out(64);
    EXPECT_TRUE(hashGost2012(data, 256, std::span(out).first(32)));
    EXPECT_TRUE(hashGost2012(data, 512, out));
    EXPECT_FALSE(hashGost2012(data, 384, out));
    EXPECT_FALSE(hashGost2012(data, 512, std::span(out).first(63)));
}

TEST(GostHash, UnknownDigestNamesFail) {
    Bytes out(64);
    EXPECT_EQ(hashByName("no_such_digest", Bytes{1}, out), 0u);
    EXPECT_EQ(hashByName(nullptr, Bytes{1}, out), 0u);
    EXPECT_EQ(hashByName("SHA256", Bytes{1}, std::span(out).first(31)), 0u);
    EXPECT_EQ(hashByName("SHA256", Bytes{1}, out), 32u);
}

}  // namespace
}  // namespace korva::sign
