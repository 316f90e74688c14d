#include "objects/session_table.h"

#include "tests/objects/attribute_helpers.h"
#include "objects/layout.h"

#include <gtest/gtest.h>

namespace korva::objects {
namespace {

using namespace abi;
using namespace test;

struct SessionTableTest : testing::Test {
    HostContext host{};
    ~SessionTableTest() override { destroySessionTable(sessionTable(host)); }

    uint8_t store(const std::string& label) {
        Bytes value = bytesOf(label);
        const CK_ATTRIBUTE tmpl[] = {attr(CKA_LABEL, value)};
        TemplateRecord record;
        EXPECT_EQ(record.fill(tmpl), TemplateResult::Ok);
        uint8_t index = 0;
        EXPECT_EQ(storeSessionObject(host, record, index), SessionStoreResult::Ok);
        EXPECT_EQ(record.count(), 0u);  // moved into the table
        return index;
    }

    std::string labelOf(uint32_t index) {
        const SessionObject* object = sessionObject(sessionTable(host), index);
        const CK_ATTRIBUTE& a = object->attributes[0];
        return std::string(static_cast<const char*>(a.pValue), a.ulValueLen);
    }
};

TEST_F(SessionTableTest, CreatesTheTableOnFirstUseAndAppends) {
    EXPECT_EQ(sessionObjectCount(sessionTable(host)), 0u);
    EXPECT_EQ(store("one"), 1);
    ASSERT_NE(host.cookie, nullptr);
    for (int i = 2; i <= 9; ++i) EXPECT_EQ(store("k" + std::to_string(i)), i);  // storage grows
    EXPECT_EQ(sessionObjectCount(sessionTable(host)), 9u);
    EXPECT_EQ(labelOf(1), "one");
    EXPECT_EQ(labelOf(9), "k9");
    EXPECT_EQ(sessionObject(sessionTable(host), 1)->objectClass, CKO_SECRET_KEY);
    EXPECT_EQ(sessionObject(sessionTable(host), 0), nullptr);
    EXPECT_EQ(sessionObject(sessionTable(host), 10), nullptr);
}

TEST_F(SessionTableTest, ReleasedEntriesAreClearedAndReusedFirst) {
    store("a");
    store("b");
    store("c");
    ASSERT_TRUE(releaseSessionObject(sessionTable(host), 2));
    const SessionObject* freed = sessionObject(sessionTable(host), 2);
    EXPECT_EQ(freed->count, 0u);
    EXPECT_EQ(freed->attributes[0].pValue, nullptr);
    EXPECT_FALSE(releaseSessionObject(sessionTable(host), 4));
    EXPECT_EQ(store("d"), 2);
    EXPECT_EQ(labelOf(2), "d");
    EXPECT_EQ(sessionObjectCount(sessionTable(host)), 3u);
}

TEST_F(SessionTableTest, HoldsAtMost255Objects) {
    for (int i = 1; i <= 255; ++i) ASSERT_EQ(store("x"), i);
    TemplateRecord record;
    ASSERT_EQ(record.appendBoolean(CKA_TOKEN, false), TemplateResult::Ok);
    uint8_t index = 0;
    EXPECT_EQ(storeSessionObject(host, record, index), SessionStoreResult::Full);
    EXPECT_EQ(record.count(), 1u);  // still the caller's
    releaseSessionObject(sessionTable(host), 200);
    EXPECT_EQ(storeSessionObject(host, record, index), SessionStoreResult::Ok);
    EXPECT_EQ(index, 200);
    EXPECT_TRUE(isSessionHandle(sessionHandle(index)));
}

TEST(ObjectHandles, NameRecordsAndSessionObjects) {
    const ObjectHandle first = makeHandle(1, 0x5000);
    EXPECT_EQ(first.directoryHigh, 0x50);
    EXPECT_EQ(layoutForDirectory(handleDirectory(first))->objectClass, ObjectClass::PrivateKey);
    const ObjectHandle second = sessionHandle(2);
    EXPECT_EQ(second.directoryHigh, 0xFF);
    EXPECT_EQ(second.directoryLow, 0xFF);
    EXPECT_TRUE(isSessionHandle(second));
    EXPECT_EQ(layoutForDirectory(0x5002), nullptr);
    EXPECT_EQ(bodyFileId(layoutForClass(CKO_DATA)->bodyPrefix, 3), 0x6703);
}

TEST(CountersFile, CountsChangesLowByteFirstAndWraps) {
    Bytes counters(15, 0);
    counters[2] = 0xFF, counters[3] = 0xFF;  // key-container changes about to wrap
    counters[13] = 0;
    ASSERT_TRUE(counters::applyChange(counters, true, false, CKO_PRIVATE_KEY, 0xFF));
    EXPECT_EQ(counters[2], 0);
    EXPECT_EQ(counters[3], 0);
    EXPECT_EQ(counters::readCounter(counters, counters::kFileChanges), 0);
    EXPECT_EQ(counters::readCounter(counters, counters::kStoreChanges), 1);
    EXPECT_EQ(counters[13], 0xFF);  // a decrement below zero wraps
    ASSERT_TRUE(counters::applyChange(counters, false, false, CKO_SECRET_KEY, 1));
    EXPECT_EQ(counters[11], 1);
    EXPECT_EQ(counters::readCounter(counters, counters::kFileChanges), 0);
    EXPECT_EQ(counters::readCounter(counters, counters::kStoreChanges), 2);
    EXPECT_FALSE(counters::applyChange(counters, true, true, 7, 1));
    EXPECT_FALSE(counters::applyChange(std::span(counters).first(13), true, true, CKO_DATA, 1));
}

}  // namespace
}  // namespace korva::objects
