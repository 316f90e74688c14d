// The object cache on its own: what keeps it and what drops it. The
// library's tests show the same rules end to end, against changes made
// elsewhere.
#include "host/object_cache.h"
#include "host/object_cache_file.h"
#include "tests/support/temp_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
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

// The file another process kept is hostile input: anything but a sound file
// of this card, kept under the counter the card shows now, the user's own
// and writable by nobody else, is ignored.
TEST(ObjectCacheFile, OnlyASoundFileOfTheUserUnderTheCurrentCounterIsTaken) {
    namespace fs = std::filesystem;
    const test::TempPath home;
    setenv("XDG_CACHE_HOME", home.path().c_str(), 1);
    fs::create_directories(home.path());
    const std::string serial = "0A1B";
    const fs::path file = *objectCacheFile(serial);
    ObjectCache walked;
    uint8_t label[] = {'k', 'e', 'p', 't'};
    abi::CK_ATTRIBUTE attributes[] = {{CKA_LABEL, label, 4}, {CKA_VALUE, nullptr, 0xFFFFFFFFu}};
    walked.startWalk(0, false);
    walked.noteWalked(kPublicData, CKO_DATA, false, {attributes, 2});
    walked.noteWalked({2, 0x50, 0x07}, CKO_DATA, false, {attributes, 1});
    walked.finishWalk(1, false, [] { return std::optional<uint32_t>(7); });
    ASSERT_EQ(walked.takeUnsaved(), 7u);
    const std::vector<uint8_t> sound = *encodeObjectCache(walked, serial, 7);
    // Offsets: version 2, serial 5-8, counter 11-14, object count 17-18, the
    // first object's length 20 and its directory 22-23.
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool taken = false;
        uint32_t counterNow = 7;
        std::function<void()> meanwhile = [] {};
    };
    const std::vector<Case> cases = {
        {"sound", [](auto&) {}, true},
        {"the counter moved", [](auto&) {}, false, 8},
        {"truncated", [](auto& b) { b.pop_back(); }},
        {"cut after an object", [](auto& b) { b[18] = 3; }},
        {"another format version", [](auto& b) { b[2] = 2; }},
        {"another card's serial", [](auto& b) { b[5] = '9'; }},
        {"an object longer than the file", [](auto& b) { b[20] = 0x7F; }},
        {"no directory of the token", [](auto& b) { b[23] = 0x02; }},
        {"trailing bytes", [](auto& b) { b.push_back(0); }},
        {"writable by the group", [](auto&) {}, false, 7, [&] { fs::permissions(file, fs::perms(0620)); }},
        {"a folder others may write", [](auto&) {}, false, 7,
         [&] { fs::permissions(file.parent_path(), fs::perms(0777)); }},
        {"a symbolic link", [](auto&) {}, false, 7,
         [&] {
             fs::rename(file, file.string() + ".real");
             fs::create_symlink(file.string() + ".real", file);
         }},
        {"turned off", [](auto&) {}, false, 7, [] { setenv("KORVA_PKCS11_OBJECT_CACHE", "0", 1); }},
    };
    for (const Case& c : cases) {
        fs::remove_all(home.path() / "korva");
        saveObjectCache(walked, serial, 7);
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0) << c.what;
        EXPECT_EQ(status.st_mode & 0777, 0600u) << c.what;
        std::vector<uint8_t> bytes = sound;
        c.damage(bytes);
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        c.meanwhile();
        ObjectCache cache;
        EXPECT_EQ(loadObjectCache(cache, 1, serial, [&] { return std::optional<uint32_t>(c.counterNow); }), c.taken)
            << c.what;
        const CachedObject* object = cache.find(kPublicData, false);
        EXPECT_EQ(object != nullptr && object->attributes().find(CKA_LABEL)->size() == 4, c.taken) << c.what;
        unsetenv("KORVA_PKCS11_OBJECT_CACHE");
        fs::permissions(home.path() / "korva", fs::perms(0700));
    }
    unsetenv("XDG_CACHE_HOME");
}

}  // namespace
}  // namespace korva::host
