#include "objects/attribute_record.h"

#include "tests/objects/attribute_helpers.h"
#include "objects/attribute_set.h"
#include "objects/key_record.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korva::objects {
namespace {

using namespace abi;
using namespace test;

TEST(AttributeRecordEncoding, StoresEachKindInItsFormAndSkipsWhatIsNeverStored) {
    uint32_t dataClass = CKO_SECRET_KEY, keyType = CKK_GOST28147;
    uint8_t tokenTrue = 1, privateTwo = 2;
    Bytes label = bytesOf("key"), value = Bytes(32, 0xAA), date = bytesOf("20261208"), id = {};
    uint8_t alwaysAuth = 1;
    std::vector<CK_ATTRIBUTE> tmpl = {
        attr(CKA_CLASS, dataClass),
        attr(CKA_TOKEN, tokenTrue),
        attr(CKA_PRIVATE, privateTwo),
        attr(CKA_VALUE, value),
        attr(CKA_KEY_TYPE, keyType),
        attr(CKA_LABEL, label),
        attr(CKA_START_DATE, date),
        attr(CKA_ALWAYS_AUTHENTICATE, alwaysAuth),
        attr(CKA_ID, id),
    };
    DirectoryRecord record;
    std::size_t size = 0;
    ASSERT_EQ(encodeDirectoryRecord(tmpl, record, size), EncodeResult::Ok);

    // A boolean given as 02 is stored as 00: only 01 is true.
    const Bytes expected = concat({entry(CKA_TOKEN, {1}), entry(CKA_PRIVATE, {0}), entry(CKA_KEY_TYPE, {0, 0, 0, 0x32}),
                                   entry(CKA_LABEL, label), entry(CKA_START_DATE, date), entry(CKA_ID, {})});
    ASSERT_EQ(size, expected.size());
    EXPECT_EQ(Bytes(record.begin(), record.begin() + size), expected);
    EXPECT_TRUE(std::all_of(record.begin() + size, record.end(), [](uint8_t b) { return b == 0; }));

    // And back: numbers come out native, the rest as stored.
    AttributeSet set;
    ASSERT_EQ(decodeRecord(record, set), DecodeResult::Ok);
    ASSERT_EQ(set.size(), 6u);
    uint32_t decodedType = 0;
    std::memcpy(&decodedType, set.find(CKA_KEY_TYPE)->value.data(), 4);
    EXPECT_EQ(decodedType, CKK_GOST28147);
    EXPECT_EQ(set.find(CKA_TOKEN)->bytes()[0], 1);
    EXPECT_EQ(Bytes(set.find(CKA_START_DATE)->bytes().begin(), set.find(CKA_START_DATE)->bytes().end()), date);
    EXPECT_EQ(set.find(CKA_ID)->length, 0u);
}

TEST(AttributeRecordEncoding, AnswersSizeAndRefusesWhatDoesNotFit) {
    uint32_t dataClass = CKO_DATA;
    Bytes label(250, 'x');
    std::vector<CK_ATTRIBUTE> tmpl = {attr(CKA_CLASS, dataClass), attr(CKA_LABEL, label)};
    EXPECT_EQ(measureRecord(tmpl).size, 255u);
    DirectoryRecord record;
    std::size_t size = 0;
    EXPECT_EQ(encodeDirectoryRecord(tmpl, record, size), EncodeResult::Ok);

    label.push_back('x');  // 251 bytes: 256 with its header
    tmpl[1] = attr(CKA_LABEL, label);
    EXPECT_EQ(encodeDirectoryRecord(tmpl, record, size), EncodeResult::TooLong);
    EXPECT_EQ(size, 256u);

    // A byte string claiming 0xFFFFFFFF bytes is sized, not read.
    tmpl[1] = attr(CKA_LABEL, label.data(), 0xFFFFFFFF);
    EXPECT_EQ(encodeDirectoryRecord(tmpl, record, size), EncodeResult::TooLong);

    // A smaller output buffer is too long even when the record would fit.
    Bytes small(4);
    uint8_t yes = 1;
    const CK_ATTRIBUTE token = attr(CKA_TOKEN, yes);
    EXPECT_EQ(encodeRecord({&token, 1}, small, size), EncodeResult::TooLong);
    EXPECT_EQ(size, 6u);
}

TEST(AttributeRecordEncoding, RefusesValuesItCannotReadWithoutOverrunning) {
    Bytes sevenByteDate = bytesOf("2026120");
    Bytes nineByteDate = bytesOf("202612081");
    Bytes twoBytes = {0, 1};
    const CK_ATTRIBUTE cases[] = {
        attr(CKA_END_DATE, sevenByteDate),   attr(CKA_END_DATE, nineByteDate), attr(CKA_LABEL, nullptr, 4),
        attr(CKA_TOKEN, twoBytes.data(), 0), attr(CKA_KEY_TYPE, twoBytes),     attr(CKA_MODULUS_BITS, nullptr, 4),
    };
    for (const CK_ATTRIBUTE& bad : cases) {
        DirectoryRecord record;
        std::size_t size = 0;
        EXPECT_EQ(encodeDirectoryRecord({&bad, 1}, record, size), EncodeResult::InvalidValue)
            << "type " << std::hex << bad.type << " length " << bad.ulValueLen;
    }
    // Empty byte strings need no value, and unknown types are skipped unread.
    const CK_ATTRIBUTE fine[] = {attr(CKA_LABEL, nullptr, 0), attr(0x7777, nullptr, 9)};
    DirectoryRecord record;
    std::size_t size = 0;
    EXPECT_EQ(encodeDirectoryRecord(fine, record, size), EncodeResult::Ok);
    EXPECT_EQ(size, 5u);
}

// Record bytes are kept in vectors of their exact size, so that the
// sanitizer catches any read past them.
TEST(AttributeRecordLookup, FindsEntriesAndStopsAtTheEnd) {
    const Bytes record = concat({entry(CKA_TOKEN, {1}), entry(CKA_LABEL, bytesOf("ab")), Bytes(20, 0)});
    RecordLookup found = findInRecord(record, CKA_LABEL);
    ASSERT_EQ(found.result, LookupResult::Found);
    EXPECT_EQ(Bytes(found.value.begin(), found.value.end()), bytesOf("ab"));
    EXPECT_EQ(findInRecord(record, CKA_ID).result, LookupResult::Absent);
    EXPECT_EQ(findInRecord(Bytes{0, 0, 0, 1}, CKA_ID).result, LookupResult::Absent);  // too short to hold any

    // Exactly full: the walk ends at the record's end.
    const Bytes full = entry(CKA_LABEL, Bytes(250, 'x'));
    ASSERT_EQ(full.size(), 255u);
    EXPECT_EQ(findInRecord(full, CKA_ID).result, LookupResult::Absent);
}

TEST(AttributeRecordLookup, TellsPaddingFromTrailingGarbage) {
    for (std::size_t tail = 1; tail <= 4; ++tail) {
        const Bytes padded = concat({entry(CKA_LABEL, Bytes(250 - tail, 'x')), Bytes(tail, 0)});
        ASSERT_EQ(padded.size(), 255u);
        EXPECT_EQ(findInRecord(padded, CKA_ID).result, LookupResult::Absent) << tail;

        const Bytes garbage = concat({entry(CKA_LABEL, bytesOf("x")), Bytes(tail, 0x5A)});
        EXPECT_EQ(findInRecord(garbage, CKA_ID).result, LookupResult::Malformed) << tail;
        EXPECT_EQ(findInRecord(garbage, CKA_LABEL).result, LookupResult::Found) << tail;
    }
}

TEST(AttributeRecordLookup, ReportsALengthPastTheDataAsMalformed) {
    Bytes record = concat({entry(CKA_TOKEN, {1}), entry(CKA_LABEL, bytesOf("abcd"))});
    record.resize(record.size() - 1);  // the label's length now runs one byte past the end
    EXPECT_EQ(findInRecord(record, CKA_LABEL).result, LookupResult::Malformed);
    EXPECT_EQ(findInRecord(record, CKA_TOKEN).result, LookupResult::Found);

    std::span<const uint8_t> rest = record;
    RecordEntry e;
    ASSERT_EQ(nextEntry(rest, e), EntryResult::Entry);
    EXPECT_EQ(nextEntry(rest, e), EntryResult::Malformed);
    EXPECT_EQ(rest.size(), 8u);  // left where it was
}

TEST(AttributeRecordIteration, EndsOnZeroTypeOrShortTailAndFlagsFourByteTail) {
    auto walk = [](const Bytes& record) {
        std::span<const uint8_t> rest = record;
        RecordEntry e;
        int entries = 0;
        EntryResult r;
        while ((r = nextEntry(rest, e)) == EntryResult::Entry) ++entries;
        return std::pair{entries, r};
    };
    EXPECT_EQ(walk(concat({entry(CKA_TOKEN, {1}), Bytes(3, 0x77)})), std::pair(1, EntryResult::End));
    EXPECT_EQ(walk(concat({entry(CKA_TOKEN, {1}), Bytes(4, 0)})), std::pair(1, EntryResult::End));
    EXPECT_EQ(walk(concat({entry(CKA_TOKEN, {1}), Bytes{0, 0, 0, 9}})), std::pair(1, EntryResult::Malformed));
    EXPECT_EQ(walk(concat({entry(CKA_TOKEN, {1}), Bytes(10, 0), entry(CKA_LABEL, {})})),
              std::pair(1, EntryResult::End));
}

TEST(AttributeRecordDecoding, KeepsEntriesBeforeAFaultAndNeverReadsPastOddWidths) {
    // A boolean stored with no byte and a number stored with two are taken
    // as the bytes they are.
    Bytes record = concat(
        {entry(CKA_TOKEN, {}), entry(CKA_KEY_TYPE, {1, 2}), entry(0x7777, {9}), entry(CKA_LABEL, bytesOf("abc"))});
    record.pop_back();
    AttributeSet set;
    EXPECT_EQ(decodeRecord(record, set), DecodeResult::Malformed);
    ASSERT_EQ(set.size(), 3u);
    EXPECT_EQ(set.find(CKA_TOKEN)->length, 0u);
    EXPECT_EQ(set.find(CKA_KEY_TYPE)->length, 2u);
    EXPECT_EQ(set.find(0x7777)->bytes()[0], 9);
}

TEST(AttributeRecordRebuild, ReplacesStoredEntriesOnlyAndChecksTheResult) {
    const Bytes record = concat({entry(CKA_TOKEN, {1}), entry(CKA_ID, bytesOf("old")), Bytes(30, 0)});
    Bytes newId = bytesOf("a new id"), label = bytesOf("not stored before");
    std::vector<CK_ATTRIBUTE> changes = {attr(CKA_LABEL, label), attr(CKA_ID, newId)};
    DirectoryRecord out;
    bool changed = false;
    ASSERT_EQ(rebuildRecord(record, changes, out, changed), RebuildResult::Ok);
    EXPECT_TRUE(changed);
    const Bytes expected = concat({entry(CKA_TOKEN, {1}), entry(CKA_ID, newId)});
    EXPECT_EQ(Bytes(out.begin(), out.begin() + expected.size()), expected);
    EXPECT_EQ(out[expected.size()], 0);

    // A label on an object without one changes nothing.
    changes.pop_back();
    ASSERT_EQ(rebuildRecord(record, changes, out, changed), RebuildResult::Ok);
    EXPECT_FALSE(changed);

    Bytes huge(250, 'x');
    changes = {attr(CKA_ID, huge)};
    EXPECT_EQ(rebuildRecord(record, changes, out, changed), RebuildResult::TooLong);  // 6 + 255 bytes
    changes = {attr(CKA_ID, nullptr, 3)};
    EXPECT_EQ(rebuildRecord(record, changes, out, changed), RebuildResult::InvalidValue);
    Bytes broken = concat({entry(CKA_TOKEN, {1}), Bytes{0, 0, 1, 2, 9}});
    EXPECT_EQ(rebuildRecord(broken, changes, out, changed), RebuildResult::Malformed);
}

TEST(AttributeRecordFree, OnlyTheFirstFourBytesDecide) {
    EXPECT_TRUE(isFreeRecord(Bytes{0, 0, 0, 0, 7, 7, 7}));
    EXPECT_FALSE(isFreeRecord(Bytes{0, 0, 0, 1, 0}));
    EXPECT_FALSE(isFreeRecord(Bytes{0, 0, 0}));
}

// One rule for "may this key do this": a flag stored as one byte decides
// (01 allows, anything else forbids); a flag absent or of another length is
// no flag, and the use's default decides.
TEST(KeyUsage, OneByteDecidesOtherwiseTheDefault) {
    const struct {
        const char* what;
        Bytes record;
        bool whenAbsent;
        KeyUsage expected;
    } cases[] = {
        {"01", entry(CKA_WRAP, {1}), false, KeyUsage::kAllowed},
        {"00", entry(CKA_WRAP, {0}), true, KeyUsage::kForbidden},
        {"02", entry(CKA_WRAP, {2}), true, KeyUsage::kForbidden},
        {"two bytes, default true", entry(CKA_WRAP, {0, 0}), true, KeyUsage::kAllowed},
        {"two bytes, default false", entry(CKA_WRAP, {1, 1}), false, KeyUsage::kForbidden},
        {"absent", entry(CKA_LABEL, {'k'}), true, KeyUsage::kAllowed},
        {"malformed", Bytes{0, 0, 1, 6, 9, 1}, true, KeyUsage::kMalformed},
    };
    for (const auto& c : cases) EXPECT_EQ(keyUsage(c.record, CKA_WRAP, c.whenAbsent), c.expected) << c.what;
}

}  // namespace
}  // namespace korva::objects
