#include "objects/container_name.h"

#include "tests/objects/attribute_helpers.h"

#include <gtest/gtest.h>

namespace korva::objects {
namespace {

using namespace abi;
using namespace test;
using Units = std::vector<uint16_t>;

std::optional<Units> convert(const Bytes& utf8) { return utf8ToUtf16(utf8); }

TEST(Utf8ToUtf16, ConvertsEverySequenceLength) {
    EXPECT_EQ(convert(bytesOf("Key 1")), (Units{'K', 'e', 'y', ' ', '1'}));
    EXPECT_EQ(convert({0xC3, 0xA9}), Units{0x00E9});                              // é
    EXPECT_EQ(convert({0xD0, 0x9A, 0xE2, 0x82, 0xAC}), (Units{0x041A, 0x20AC}));  // К€
    EXPECT_EQ(convert({0xEF, 0xBF, 0xBF}), Units{0xFFFF});
    EXPECT_EQ(convert({0xF0, 0x9F, 0x98, 0x80}), (Units{0xD83D, 0xDE00}));  // U+1F600
    EXPECT_EQ(convert({0xF4, 0x8F, 0xBF, 0xBF}), (Units{0xDBFF, 0xDFFF}));  // U+10FFFF
    EXPECT_EQ(convert({}), Units{});
}

TEST(Utf8ToUtf16, RefusesIllFormedInput) {
    const Bytes cases[] = {
        {0xC0, 0xAF},              // overlong '/'
        {0xE0, 0x80, 0xAF},        // overlong, three bytes
        {0xF0, 0x80, 0x80, 0xAF},  // overlong, four bytes
        {0xED, 0xA0, 0x80},        // U+D800, a surrogate
        {0xED, 0xBF, 0xBF},        // U+DFFF
        {0xF4, 0x90, 0x80, 0x80},  // U+110000
        {0xF8, 0x88, 0x80, 0x80, 0x80},
        {0x41, 0xE2, 0x82},  // truncated at the end
        {0xC3, 0x41},        // continuation missing
        {0x80},              // continuation without a lead
    };
    for (const Bytes& bad : cases) EXPECT_FALSE(convert(bad).has_value()) << testing::PrintToString(bad);
}

ContainerName nameOf(const std::u16string& text) {
    ContainerName name{};
    for (std::size_t i = 0; i < text.size(); ++i) {
        name[2 * i] = uint8_t(text[i]);
        name[2 * i + 1] = uint8_t(text[i] >> 8);
    }
    return name;
}

TEST(ContainerName, KeepsNamesUpToThirtyNineUnitsAndOtherwiseSaysBrokenId) {
    const ContainerName broken = nameOf(u"BROKENID");
    EXPECT_EQ(containerNameFor(bytesOf(std::string(39, 'a'))), nameOf(std::u16string(39, u'a')));
    EXPECT_EQ(containerNameFor(bytesOf(std::string(40, 'a'))), broken);
    EXPECT_EQ(containerNameFor({}), broken);
    EXPECT_EQ(containerNameFor(Bytes{0xC0, 0xAF}), broken);

    // Units, not characters, count: 19 four-byte characters are 38 units,
    // 20 of them are 40.
    Bytes emoji;
    for (int i = 0; i < 19; ++i) emoji.insert(emoji.end(), {0xF0, 0x9F, 0x98, 0x80});
    EXPECT_NE(containerNameFor(emoji), broken);
    emoji.insert(emoji.end(), {0xF0, 0x9F, 0x98, 0x80});
    EXPECT_EQ(containerNameFor(emoji), broken);
}

TEST(ContainerMapEntry, IsBuiltFromTheKeyTemplate) {
    Bytes id = bytesOf("k1");
    uint32_t bits = 1024;
    uint8_t no = 0, yes = 1;
    std::vector<CK_ATTRIBUTE> tmpl = {attr(CKA_ID, id), attr(CKA_MODULUS_BITS, bits)};

    auto entry = buildContainerMapEntry(tmpl, false);
    ASSERT_TRUE(entry);
    const auto bytes = encodeContainerMapEntry(*entry);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 6), (Bytes{'k', 0, '1', 0, 0, 0}));
    EXPECT_EQ(Bytes(bytes.begin() + 80, bytes.end()), (Bytes{1, 0, 0, 0, 0x00, 0x04}));  // exchange key, LE
    EXPECT_EQ(decodeContainerMapEntry(bytes), entry);

    tmpl.push_back(attr(CKA_ENCRYPT, no));
    entry = buildContainerMapEntry(tmpl, true);  // size forced to the default
    EXPECT_EQ(entry->signatureKeyBits, 256);
    EXPECT_EQ(entry->exchangeKeyBits, 0);
    tmpl.back() = attr(CKA_ENCRYPT, yes);
    EXPECT_EQ(buildContainerMapEntry(tmpl, true)->exchangeKeyBits, 256);

    tmpl[0] = attr(CKA_ID, nullptr, 2);
    EXPECT_FALSE(buildContainerMapEntry(tmpl, false));
    tmpl[0] = attr(CKA_ID, nullptr, 0);
    EXPECT_EQ(buildContainerMapEntry(tmpl, false)->name, nameOf(u"BROKENID"));
    EXPECT_TRUE(ContainerMapEntry{}.isFree());
}

TEST(NameMapEntry, EncodesCertificateEntriesAndFindsThemAgain) {
    const NameMapEntry entry = makeCertificateNameEntry(0x6403, true, 0x0A);
    const auto bytes = encodeNameMapEntry(entry);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{0x03, 0x64, 1, 1, 'k', 'x', 'c', '0', 'a', 0, 0, 0}));
    EXPECT_EQ(decodeNameMapEntry(bytes), entry);
    EXPECT_EQ(certificateFileName(false, 0xFF)[1], 's');

    Bytes map(name_map::kFileBytes, 0);
    map[0] = 0xFD, map[1] = 0x70;  // entry 0: the container map itself
    std::copy(bytes.begin(), bytes.end(), map.begin() + 12);
    EXPECT_EQ(findNameMapEntry(map, 0x6403), 1u);
    EXPECT_EQ(findNameMapEntry(map, 0), 2u);
    for (std::size_t j = 0; j < name_map::kEntryCount; ++j) map[12 * j] = 1;
    EXPECT_FALSE(findNameMapEntry(map, 0));
    EXPECT_FALSE(findNameMapEntry(Bytes(13, 0), 0x6403));
}

}  // namespace
}  // namespace korva::objects
