#include "card/tlv.h"

#include <gtest/gtest.h>

#include <vector>

namespace korva::card {
namespace {

using Bytes = std::vector<uint8_t>;

struct SearchCase {
    const char* name;
    Bytes range;
    uint8_t tag;
    TagSearch expected;
    Bytes value;  // when found
};

void PrintTo(const SearchCase& c, std::ostream* out) { *out << c.name; }

class FindTag : public ::testing::TestWithParam<SearchCase> {};

TEST_P(FindTag, Searches) {
    const SearchCase& c = GetParam();
    // Copy into a buffer of exactly the range's size so that any read past
    // the end is caught by the address sanitizer.
    const auto storage = std::make_unique<uint8_t[]>(c.range.size() + 1);
    std::copy(c.range.begin(), c.range.end(), storage.get());
    std::span<const uint8_t> value;
    EXPECT_EQ(findTag(std::span(storage.get(), c.range.size()), c.tag, value), c.expected);
    if (c.expected == TagSearch::kFound) {
        EXPECT_EQ(Bytes(value.begin(), value.end()), c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindTag,
    ::testing::Values(
        SearchCase{"ShortLength", {0x82, 0x01, 0x38}, 0x82, TagSearch::kFound, {0x38}},
        SearchCase{"Long81Length", {0x82, 0x81, 0x01, 0x38}, 0x82, TagSearch::kFound, {0x38}},
        SearchCase{"Long82Length", {0x80, 0x82, 0x00, 0x02, 0x12, 0x34}, 0x80, TagSearch::kFound, {0x12, 0x34}},
        SearchCase{"AfterSkippedTlvs",
                   {0x80, 0x02, 0x00, 0x10, 0x82, 0x81, 0x01, 0x01, 0x83, 0x02, 0x50, 0x32},
                   0x83,
                   TagSearch::kFound,
                   {0x50, 0x32}},
        SearchCase{"EmptyValue", {0x86, 0x00, 0x8A, 0x01, 0x05}, 0x86, TagSearch::kFound, {}},
        SearchCase{"EmptyRange", {}, 0x82, TagSearch::kNotFound, {}},
        SearchCase{"Absent", {0x80, 0x01, 0x10, 0x8A, 0x01, 0x05}, 0x82, TagSearch::kNotFound, {}},
        SearchCase{"LoneOtherTagByte", {0x80, 0x01, 0x10, 0x8A}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"LoneWantedTagByte", {0x80, 0x01, 0x10, 0x82}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"MalformedAfterMatchIgnored", {0x82, 0x01, 0x38, 0x83, 0x05, 0x01}, 0x82, TagSearch::kFound, {0x38}},
        SearchCase{"MalformedBeforeMatch", {0x83, 0x05, 0x01, 0x82, 0x01, 0x38}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"ValuePastEnd", {0x82, 0x03, 0x01, 0x02}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"Truncated81", {0x82, 0x81}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"Truncated82", {0x80, 0x82, 0x00}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"IndefiniteForm", {0x82, 0x80, 0x00, 0x00}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"Form83", {0x82, 0x83, 0x00, 0x00, 0x01, 0x38}, 0x82, TagSearch::kMalformed, {}},
        SearchCase{"Huge82LengthPastEnd", {0x80, 0x82, 0xFF, 0xFF, 0x00}, 0x82, TagSearch::kMalformed, {}}),
    [](const ::testing::TestParamInfo<SearchCase>& param) { return std::string(param.param.name); });

TEST(DecodeLength, ReportsFieldSizeAndValue) {
    const Bytes tlv = {0x62, 0x81, 0x02, 0xAA, 0xBB, 0xCC};
    std::span<const uint8_t> value;
    std::size_t fieldSize = 0;
    ASSERT_TRUE(decodeLength(tlv, value, &fieldSize));
    EXPECT_EQ(fieldSize, 2u);
    EXPECT_EQ(Bytes(value.begin(), value.end()), (Bytes{0xAA, 0xBB}));
}

TEST(DecodeLength, LengthOf65535FitsOnlyWithTheWholeValue) {
    Bytes tlv(4 + 65535, 0);
    tlv[1] = 0x82;
    tlv[2] = 0xFF;
    tlv[3] = 0xFF;
    std::span<const uint8_t> value;
    EXPECT_TRUE(decodeLength(tlv, value));
    EXPECT_EQ(value.size(), 65535u);
    tlv.pop_back();
    EXPECT_FALSE(decodeLength(tlv, value));
}

}  // namespace
}  // namespace korva::card
