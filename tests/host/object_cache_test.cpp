// The object cache on its own: what keeps it and what drops it. The
// library's tests show the same rules end to end, against changes made
// elsewhere.
#include "host/object_cache.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

namespace korva::host {
namespace {

constexpr abi::ObjectHandle kPublicData{1, 0x50, 0x07};
constexpr abi::ObjectHandle kPrivateData{2, 0x50, 0x07};
constexpr uint8_t kReadBinary[] = {0x00, 0xB0, 0x00, 0x00, 0x0E};
constexpr uint8_t kUpdateRecord[] = {0x00, 0xDC, 0x01, 0x04, 0x01, 0x00};

// A cache filled by a walk of every directory with the user logged in,
// under counter 7 of card 1 (read at once, or by the next call when the
// reader can tell whether others use the card).
void fill(ObjectCache& cache, bool readerTells = false) {
    uint8_t label[] = {'a'}, value[] = {1, 2};
    abi::CK_ATTRIBUTE attributes[] = {{CKA_LABEL, label, 1}, {CKA_VALUE, value, 2}};
    cache.startWalk(0, true);
    cache.noteWalked(kPublicData, CKO_DATA, false, {attributes, 2});
    cache.noteWalked(kPrivateData, CKO_DATA, true, {attributes, 2});
    cache.finishWalk(1, readerTells, [] { return std::optional<uint32_t>(7); });
}

TEST(ObjectCache, KeptOnlyWhileTheSameCardShowsTheSameCounter) {
    struct Case {
        const char* what;
        std::function<void(ObjectCache&)> meanwhile;
        uint64_t card;
        std::optional<uint32_t> counter;  // what slot 66 answers next
        bool kept;
        std::optional<bool> usedElsewhere = std::nullopt;  // the reader's word
        bool readerTells = false;
    };
    const std::vector<Case> cases = {
        {"nothing happened", [](ObjectCache&) {}, 1, 7, true},
        {"our own read", [](ObjectCache& c) { c.noteCommand(kReadBinary); }, 1, 7, true},
        {"the counter moved", [](ObjectCache&) {}, 1, 8, false},
        {"the counter cannot be read", [](ObjectCache&) {}, 1, std::nullopt, false},
        {"another card, same counter", [](ObjectCache&) {}, 2, 7, false},
        {"our own write", [](ObjectCache& c) { c.noteCommand(kUpdateRecord); }, 1, 7, false},
        {"nobody else had the card: no counter read", [](ObjectCache&) {}, 1, std::nullopt, true, false},
        {"a walk keyed by the next call", [](ObjectCache&) {}, 1, 7, true, false, true},
        {"someone else had it before the counter was read", [](ObjectCache&) {}, 1, 7, false, true, true},
        {"nobody else, the counter unreadable", [](ObjectCache&) {}, 1, std::nullopt, false, false, true},
    };
    for (const Case& c : cases) {
        ObjectCache cache;
        fill(cache, c.readerTells);
        c.meanwhile(cache);
        const bool current = cache.revalidate(c.card, c.usedElsewhere, [&] { return c.counter; });
        EXPECT_EQ(current && cache.covers(0, false), c.kept) << c.what;
        EXPECT_EQ(cache.find(kPublicData, false) != nullptr, c.kept) << c.what;
    }
}

TEST(ObjectCache, LogoutForgetsPrivateObjectsAndSecretsAreNeverKept) {
    ObjectCache cache;
    fill(cache);
    ASSERT_NE(cache.find(kPrivateData, true), nullptr);
    EXPECT_EQ(cache.find(kPrivateData, false), nullptr);
    EXPECT_TRUE(cache.covers(0x5004, true));
    cache.forgetPrivate();
    EXPECT_EQ(cache.find(kPrivateData, true), nullptr);
    EXPECT_FALSE(cache.covers(0x5004, true));  // the user's next search walks the token again
    EXPECT_TRUE(cache.covers(0x5004, false));

    uint8_t key[16] = {};
    abi::CK_ATTRIBUTE secret[] = {{CKA_VALUE, key, 16}, {CKA_VALUE_LEN, key, 4}};
    const CachedObject object({1, 0x50, 0x03}, CKO_SECRET_KEY, false, {secret, 2});
    EXPECT_FALSE(object.attributes().find(CKA_VALUE));
    EXPECT_TRUE(object.attributes().find(CKA_VALUE_LEN));

    // What a walked data object lacks, the card lacks too; other classes ask the card.
    ck_attribute application{CKA_APPLICATION, nullptr, 0};
    EXPECT_TRUE(cache.find(kPublicData, false)->answersAll(&application, 1));
    EXPECT_FALSE(object.answersAll(&application, 1));
}

}  // namespace
}  // namespace korva::host
