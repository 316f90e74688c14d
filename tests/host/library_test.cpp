// The library as an application meets it, for what the tools do not reach:
// calls before C_Initialize, bad arguments and stale handles, the standard's
// length rules and number widths, several threads, fork, finalisation with
// sessions open, and session objects dying with their session.
#include "host/config.h"

#include "tests/host/library_fixture.h"
#include "tests/support/test_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace abi = korva::abi;
using namespace korva::test;

TEST_F(LibraryTest, EveryCallBeforeInitializeGetsNotInitialized) {
    unsigned long count = 0;
    ck_info info{};
    ck_session_handle_t session = 0;
    const std::vector<std::function<ck_rv_t()>> calls = {
        [&] { return f->C_Finalize(nullptr); },
        [&] { return f->C_GetInfo(&info); },
        [&] { return f->C_GetSlotList(0, nullptr, &count); },
        [&] { return f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session); },
        [&] { return f->C_CloseSession(1); },
        [&] { return f->C_Login(1, CKU_USER, text(kUserPin), 8); },
        [&] { return f->C_FindObjectsInit(1, nullptr, 0); },
        [&] { return f->C_DigestInit(1, nullptr); },
        [&] { return f->C_GenerateRandom(1, nullptr, 0); },
    };
    for (const auto& call : calls) EXPECT_EQ(call(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(LibraryTest, InitializeArgumentsAreChecked) {
    ck_c_initialize_args arguments{};
    arguments.reserved = &arguments;
    EXPECT_EQ(f->C_Initialize(&arguments), CKR_ARGUMENTS_BAD);
    arguments = {};
    arguments.create_mutex = [](void**) -> ck_rv_t { return CKR_OK; };  // one function of four
    EXPECT_EQ(f->C_Initialize(&arguments), CKR_ARGUMENTS_BAD);
    arguments = {};
    arguments.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(f->C_Initialize(&arguments), CKR_OK);
    EXPECT_EQ(f->C_Initialize(&arguments), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(f->C_Finalize(&arguments), CKR_ARGUMENTS_BAD);
}

// Without CKF_OS_LOCKING_OK the application's functions lock every mutex.
std::atomic<int> applicationLocks{0};

TEST_F(LibraryTest, ApplicationMutexFunctionsAreUsed) {
    ck_c_initialize_args arguments{};
    arguments.create_mutex = [](void** mutex) -> ck_rv_t {
        *mutex = new std::mutex;
        return CKR_OK;
    };
    arguments.destroy_mutex = [](void* mutex) -> ck_rv_t {
        delete static_cast<std::mutex*>(mutex);
        return CKR_OK;
    };
    arguments.lock_mutex = [](void* mutex) -> ck_rv_t {
        ++applicationLocks;
        static_cast<std::mutex*>(mutex)->lock();
        return CKR_OK;
    };
    arguments.unlock_mutex = [](void* mutex) -> ck_rv_t {
        static_cast<std::mutex*>(mutex)->unlock();
        return CKR_OK;
    };
    ASSERT_EQ(f->C_Initialize(&arguments), CKR_OK);
    const int before = applicationLocks;
    ck_token_info info{};
    EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_GT(applicationLocks, before);
}

TEST_F(LibraryTest, BadArgumentsAndStaleHandles) {
    initialise();
    const ck_session_handle_t session = readyToken();
    ck_session_handle_t other = 0;
    ASSERT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &other), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(other), CKR_OK);
    unsigned long objectClass = 0;
    ck_attribute classOnly{CKA_CLASS, &objectClass, sizeof objectClass};
    ck_mechanism sha256{CKM_SHA256, nullptr, 0};

    EXPECT_EQ(f->C_GetSlotList(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GetSlotInfo(7, nullptr), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f->C_GetTokenInfo(7, nullptr), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f->C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &other), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_CloseSession(other), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_DigestInit(other, &sha256), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_DigestInit(session, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_Digest(session, nullptr, 0, nullptr, nullptr), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_FindObjects(session, nullptr, 0, nullptr), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_Login(session, 7, text(kUserPin), 8), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(f->C_Login(session, CKU_USER, nullptr, 8), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
    // Handles of no object, of the other slot, of no directory the token has.
    std::vector<ck_object_handle_t> stale = {0UL, 0x1FFFFFFFUL, 0x02500001UL, 0x01123401UL};
    if constexpr (sizeof(ck_object_handle_t) > 4) stale.push_back(ck_object_handle_t(0x01500001) | ~0xFFFFFFFFUL);
    for (ck_object_handle_t object : stale)
        EXPECT_EQ(f->C_GetAttributeValue(session, object, &classOnly, 1), CKR_OBJECT_HANDLE_INVALID) << object;
    EXPECT_EQ(f->C_SignInit(session, &sha256, 0x01500001), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    EXPECT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(f->C_Login(session, CKU_SO, text(kSoPin), 8), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
}

TEST_F(LibraryTest, LengthQueriesAndNumberWidths) {
    initialise();
    const ck_session_handle_t session = readyToken();
    unsigned long count = 0;
    ASSERT_EQ(f->C_GetMechanismList(0, nullptr, &count), CKR_OK);
    std::vector<ck_mechanism_type_t> mechanisms(count);
    unsigned long tooFew = count - 1;
    EXPECT_EQ(f->C_GetMechanismList(0, mechanisms.data(), &tooFew), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooFew, count);
    ASSERT_EQ(f->C_GetMechanismList(0, mechanisms.data(), &count), CKR_OK);
    EXPECT_NE(std::find(mechanisms.begin(), mechanisms.end(), 0xD4321008UL), mechanisms.end());

    // A digest: the length query and a short buffer keep the operation, one
    // part and several parts agree.
    ck_mechanism sha256{CKM_SHA256, nullptr, 0};
    unsigned char message[] = "length rules", digest[32], parts[32];
    unsigned long length = 0;
    ASSERT_EQ(f->C_DigestInit(session, &sha256), CKR_OK);
    EXPECT_EQ(f->C_Digest(session, message, 12, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    length = 31;
    EXPECT_EQ(f->C_Digest(session, message, 12, digest, &length), CKR_BUFFER_TOO_SMALL);
    length = sizeof digest;
    EXPECT_EQ(f->C_Digest(session, message, 12, digest, &length), CKR_OK);
    EXPECT_EQ(f->C_Digest(session, message, 12, digest, &length), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(f->C_DigestInit(session, &sha256), CKR_OK);
    EXPECT_EQ(f->C_DigestUpdate(session, message, 5), CKR_OK);
    EXPECT_EQ(f->C_DigestUpdate(session, message + 5, 7), CKR_OK);
    EXPECT_EQ(f->C_Digest(session, message, 12, parts, &length), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(f->C_DigestFinal(session, parts, &length), CKR_OK);
    EXPECT_EQ(std::memcmp(digest, parts, 32), 0);

    // A data object: CKA_CLASS comes back as a full unsigned long, which a
    // shorter buffer cannot take; an unknown type is unavailable.
    unsigned long dataClass = CKO_DATA;
    unsigned char yes = 1, value[] = "data";
    ck_attribute made[] = {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &yes, 1}, {CKA_VALUE, value, 4}};
    ck_object_handle_t object = 0;
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    ASSERT_EQ(f->C_CreateObject(session, made, 3, &object), CKR_OK);
    unsigned long readClass = ~0UL;
    unsigned char narrowClass[sizeof(unsigned long) - 1];
    unsigned char readValue[2];
    ck_attribute asked[] = {{CKA_CLASS, &readClass, sizeof readClass},
                            {CKA_VALUE, nullptr, 0},
                            {CKA_KEY_TYPE, &readClass, sizeof readClass}};
    EXPECT_EQ(f->C_GetAttributeValue(session, object, asked, 3), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(readClass, CKO_DATA);
    EXPECT_EQ(asked[0].value_len, sizeof(unsigned long));
    EXPECT_EQ(asked[1].value_len, 4u);
    EXPECT_EQ(asked[2].value_len, CK_UNAVAILABLE_INFORMATION);
    ck_attribute tooSmall[] = {{CKA_CLASS, narrowClass, sizeof narrowClass}, {CKA_VALUE, readValue, 2}};
    EXPECT_EQ(f->C_GetAttributeValue(session, object, tooSmall, 2), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall[0].value_len, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tooSmall[1].value_len, CK_UNAVAILABLE_INFORMATION);
    // A number that does not fit the token's 32 bits is refused, not cut.
    if constexpr (sizeof(unsigned long) > 4) {
        unsigned long hugeClass = ~0xFFFFFFFFUL;
        ck_attribute huge[] = {{CKA_CLASS, &hugeClass, sizeof hugeClass}, {CKA_TOKEN, &yes, 1}};
        EXPECT_EQ(f->C_CreateObject(session, huge, 2, &object), CKR_ATTRIBUTE_VALUE_INVALID);
    }
    // Mechanism parameter lengths the module's 32 bits cannot hold as data
    // are refused the same way, in the mechanism and in a derivation record.
    unsigned char parameter[8] = {};
    ck_mechanism unbounded{CKM_AES_CBC, parameter, 0xFFFFFFFFUL}, missing{CKM_AES_CBC, nullptr, 16};
    EXPECT_EQ(f->C_EncryptInit(session, &unbounded, object), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(f->C_EncryptInit(session, &missing, object), CKR_MECHANISM_PARAM_INVALID);
    struct {
        unsigned long kdf;
        unsigned char* publicData;
        unsigned long publicDataLength;
        unsigned char* ukm;
        unsigned long ukmLength;
    } derive{1, parameter, 0xFFFFFFFFUL, parameter, 8};
    ck_mechanism derivation{CKM_GOSTR3410_DERIVE, &derive, sizeof derive};
    ck_object_handle_t derived = 0;
    EXPECT_EQ(f->C_DeriveKey(session, &derivation, object, nullptr, 0, &derived), CKR_MECHANISM_PARAM_INVALID);
}

TEST_F(LibraryTest, SessionObjectsDieWithTheirSession) {
    initialise();
    const ck_session_handle_t maker = readyToken();
    ck_session_handle_t reader = 0;
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &reader), CKR_OK);
    ck_object_handle_t key = 0;
    ASSERT_EQ(sessionKey(maker, &key), CKR_OK);
    unsigned char value[24];
    ck_attribute secret{CKA_VALUE, value, sizeof value};
    // Sensitive by default: its value stays inside.
    EXPECT_EQ(f->C_GetAttributeValue(reader, key, &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(secret.value_len, CK_UNAVAILABLE_INFORMATION);
    unsigned long keyType = 0;
    ck_attribute type{CKA_KEY_TYPE, &keyType, sizeof keyType};
    EXPECT_EQ(f->C_GetAttributeValue(reader, key, &type, 1), CKR_OK);
    EXPECT_EQ(keyType, CKK_DES3);
    ASSERT_EQ(f->C_CloseSession(maker), CKR_OK);
    EXPECT_EQ(f->C_GetAttributeValue(reader, key, &type, 1), CKR_OBJECT_HANDLE_INVALID);
}

// A card file that cannot be saved fails the call that changed the card:
// the application never gets CKR_OK for an object that is gone next time.
TEST_F(LibraryTest, FailedSaveOfTheCardFileFailsTheCall) {
    initialise();
    const ck_session_handle_t session = readyToken();
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    unsigned long objectClass = CKO_DATA;
    unsigned char yes = 1, label[] = "unsaved";
    ck_attribute attributes[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass}, {CKA_TOKEN, &yes, 1}, {CKA_LABEL, label, sizeof label - 1}};
    ck_object_handle_t object = 0;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit tiny{64, limit.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const ck_rv_t rv = f->C_CreateObject(session, attributes, 3, &object);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(rv, CKR_DEVICE_ERROR);
    ASSERT_EQ(f->C_FindObjectsInit(session, attributes, 3), CKR_OK);
    unsigned long found = 1;
    ASSERT_EQ(f->C_FindObjects(session, &object, 1, &found), CKR_OK);
    EXPECT_EQ(found, 0u);  // the card was read again from its file
    EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
}

TEST_F(LibraryTest, FinalizeWithSessionsOpenReleasesEverything) {
    initialise();
    const ck_session_handle_t session = readyToken();
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    ck_object_handle_t key = 0;
    ASSERT_EQ(sessionKey(session, &key), CKR_OK);
    ck_mechanism sha256{CKM_SHA256, nullptr, 0};
    ASSERT_EQ(f->C_DigestInit(session, &sha256), CKR_OK);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    initialise();
    ck_session_info info{};
    EXPECT_EQ(f->C_GetSessionInfo(session, &info), CKR_SESSION_HANDLE_INVALID);
    ck_token_info token{};
    ASSERT_EQ(f->C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), 12), "library test");  // saved in the card file
    EXPECT_EQ(token.session_count, 0u);
}

TEST_F(LibraryTest, ADamagedCardFileIsReportedOnceAndLeftAsItIs) {
    initialise();
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    std::ifstream whole(cards[0], std::ios::binary);
    const std::string card((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
    const std::string truncated = card.substr(0, card.size() / 2);
    std::ofstream(cards[1], std::ios::binary | std::ios::trunc) << truncated;

    testing::internal::CaptureStderr();
    initialise();
    unsigned long count = 0;
    EXPECT_EQ(f->C_GetSlotList(1, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    ck_token_info info{};
    EXPECT_EQ(f->C_GetTokenInfo(1, &info), CKR_TOKEN_NOT_PRESENT);
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string line = "card file " + cards[1].string() + " cannot be used (card file is damaged";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find(line), said.rfind(line)) << "said more than once:\n" << said;
    std::ifstream after(cards[1], std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), truncated);
}

TEST_F(LibraryTest, ThreadsWorkOnBothSlotsAtOnce) {
    ck_c_initialize_args arguments{};
    arguments.flags = CKF_OS_LOCKING_OK;
    setenv("KORVA_PKCS11_OBJECT_CACHE", "0", 1);  // searches walk the card
    ASSERT_EQ(f->C_Initialize(&arguments), CKR_OK);
    unsetenv("KORVA_PKCS11_OBJECT_CACHE");
    f->C_CloseSession(readyToken(0));
    f->C_CloseSession(readyToken(1));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            ck_session_handle_t session = 0;
            if (f->C_OpenSession(t % 2, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) ++failures;
            ck_mechanism sha256{CKM_SHA256, nullptr, 0};
            unsigned char buffer[64];
            for (int i = 0; i < 30; ++i) {
                unsigned long length = 32, count = 0;
                if (f->C_GenerateRandom(session, buffer, sizeof buffer) != CKR_OK) ++failures;
                if (f->C_DigestInit(session, &sha256) != CKR_OK) ++failures;
                if (f->C_Digest(session, buffer, sizeof buffer, buffer, &length) != CKR_OK) ++failures;
                // Calls of several exchanges in a row interleave only without the token's lock.
                ck_token_info info{};
                if (f->C_GetTokenInfo(t % 2, &info) != CKR_OK || std::memcmp(info.label, "library test", 12) != 0)
                    ++failures;
                ck_object_handle_t found[4];
                if (f->C_FindObjectsInit(session, nullptr, 0) != CKR_OK ||
                    f->C_FindObjects(session, found, 4, &count) != CKR_OK || f->C_FindObjectsFinal(session) != CKR_OK)
                    ++failures;
            }
            if (f->C_CloseSession(session) != CKR_OK) ++failures;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
}

TEST_F(LibraryTest, ForkedChildInitialisesAgain) {
    initialise();
    const ck_session_handle_t session = readyToken();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The parent's state is not the child's: it starts over.
        unsigned long count = 0;
        int status = f->C_GetSlotList(0, nullptr, &count) == CKR_CRYPTOKI_NOT_INITIALIZED ? 0 : 1;
        status |= f->C_Initialize(nullptr) == CKR_OK ? 0 : 2;
        ck_session_handle_t own = 0;
        status |= f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &own) == CKR_OK ? 0 : 4;
        unsigned char random[16];
        status |= f->C_GenerateRandom(own, random, sizeof random) == CKR_OK ? 0 : 8;
        status |= f->C_Finalize(nullptr) == CKR_OK ? 0 : 16;
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    unsigned char random[16];
    EXPECT_EQ(f->C_GenerateRandom(session, random, sizeof random), CKR_OK);
}

// Each call reads the card file another process saved and saves its own
// change before that process reads again: nothing is lost.
TEST_F(LibraryTest, TwoProcessesOnOneCardLoseNoChange) {
    initialise();
    readyToken();
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    constexpr int kEach = 8;
    const auto createObjects = [&]() -> int {
        if (f->C_Initialize(nullptr) != CKR_OK) return 1;
        ck_session_handle_t session = 0;
        if (f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK) return 2;
        if (f->C_Login(session, CKU_USER, text(kUserPin), 8) != CKR_OK) return 3;
        unsigned long dataClass = CKO_DATA;
        unsigned char yes = 1, value[16] = {};
        ck_attribute made[] = {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &yes, 1}, {CKA_VALUE, value, 16}};
        for (int i = 0; i < kEach; ++i) {
            ck_object_handle_t object = 0;
            if (f->C_CreateObject(session, made, 3, &object) != CKR_OK) return 4;
        }
        return f->C_Finalize(nullptr) == CKR_OK ? 0 : 5;
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(createObjects());
    EXPECT_EQ(createObjects(), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    initialise();
    ck_session_handle_t session = 0;
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    unsigned long dataClass = CKO_DATA;
    ck_attribute byClass{CKA_CLASS, &dataClass, sizeof dataClass};
    ck_object_handle_t found[4 * kEach];
    unsigned long count = 0;
    ASSERT_EQ(f->C_FindObjectsInit(session, &byClass, 1), CKR_OK);
    ASSERT_EQ(f->C_FindObjects(session, found, 4 * kEach, &count), CKR_OK);
    EXPECT_EQ(count, 2u * kEach);
}

// The object cache never answers with what the card no longer holds: between
// two searches of this process, another process and a module call that
// bypasses the library change, add and delete objects.
class ObjectCacheTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        initialise();
        session = readyToken();
        ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    }
    ck_object_handle_t dataObject(ck_session_handle_t in, const std::string& label, bool isPrivate = false) {
        unsigned long dataClass = CKO_DATA;
        unsigned char yes = 1, priv = isPrivate ? 1 : 0;
        ck_attribute made[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                               {CKA_TOKEN, &yes, 1},
                               {CKA_PRIVATE, &priv, 1},
                               {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
        ck_object_handle_t object = 0;
        EXPECT_EQ(f->C_CreateObject(in, made, 4, &object), CKR_OK);
        return object;
    }

    // The labels of the data objects a search finds, as read back.
    std::vector<std::string> labels() {
        unsigned long dataClass = CKO_DATA;
        ck_attribute byClass{CKA_CLASS, &dataClass, sizeof dataClass};
        ck_object_handle_t found[16];
        unsigned long count = 0;
        EXPECT_EQ(f->C_FindObjectsInit(session, &byClass, 1), CKR_OK);
        EXPECT_EQ(f->C_FindObjects(session, found, 16, &count), CKR_OK);
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        std::vector<std::string> result;
        for (unsigned long i = 0; i < count; ++i) {
            char label[32] = {};
            ck_attribute read{CKA_LABEL, label, sizeof label};
            EXPECT_EQ(f->C_GetAttributeValue(session, found[i], &read, 1), CKR_OK);
            result.emplace_back(label, read.value_len);
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    // The card commands the calls send, counted in the library's trace.
    size_t exchangesOf(const std::function<void()>& calls) {
        const auto log = folder.path() / "trace";
        std::fflush(stderr);
        const int saved = dup(2);
        const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, 2);
        close(file);
        setenv("KORVA_PKCS11_TRACE", "2", 1);
        calls();
        unsetenv("KORVA_PKCS11_TRACE");
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        std::ifstream in(log);
        size_t commands = 0;
        for (std::string line; std::getline(in, line);) commands += line.find(" apdu slot 0 >") != std::string::npos;
        return commands;
    }

    // The module changes the card file directly, as other software would.
    void throughModule(const std::function<abi::CK_RV(korva::test::TestHost&)>& change) {
        auto host = korva::test::TestHost::withCardFile(cards[0]);
        korva::test::Bytes settings(17);
        abi::CK_ULONG length = 17;
        ASSERT_EQ(host->table()->readTokenSettings(host->context(), settings.data(), &length), CKR_OK);
        host->setSettings(settings);
        EXPECT_EQ(change(*host), CKR_OK);
        host->saveCard(cards[0]);
    }

    ck_session_handle_t session = 0;
};

TEST_F(ObjectCacheTest, SearchesAndReadsSeeChangesMadeElsewhere) {
    dataObject(session, "first");  // record 1 of the data-object directory
    dataObject(session, "doomed");
    EXPECT_EQ(labels(), (std::vector<std::string>{"doomed", "first"}));
    // Asked again while nobody else had the card, the cache answers alone.
    EXPECT_EQ(exchangesOf([&] { EXPECT_EQ(labels(), (std::vector<std::string>{"doomed", "first"})); }), 0u);

    const abi::ObjectHandle first{1, 0x50, 0x07};
    uint8_t label[] = {'r', 'e', 'n', 'a', 'm', 'e', 'd'};
    abi::CK_ATTRIBUTE renamed{CKA_LABEL, label, sizeof label};
    struct Change {
        const char* what;
        std::function<void()> make;
        std::vector<std::string> labels;
    };
    const std::vector<Change> changes = {
        {"another process adds",
         [&] { inChild([&](ck_session_handle_t own) { return dataObject(own, "added") ? 0 : 3; }); },
         {"added", "doomed", "first"}},
        {"another process deletes",
         [&] {
             inChild([&](ck_session_handle_t own) {  // handles are each process's own: it searches first
                 char name[] = "doomed";
                 ck_attribute byLabel{CKA_LABEL, name, 6};
                 ck_object_handle_t doomed = 0;
                 unsigned long found = 0;
                 f->C_FindObjectsInit(own, &byLabel, 1);
                 f->C_FindObjects(own, &doomed, 1, &found);
                 f->C_FindObjectsFinal(own);
                 return int(f->C_DestroyObject(own, doomed));
             });
         },
         {"added", "first"}},
        {"the module renames",
         [&] {
             throughModule([&](korva::test::TestHost& host) {
                 return host.table()->setAttributes(host.context(), host.login(1, kUserPin), host.settings(), &first,
                                                    &renamed, 1);
             });
         },
         {"added", "renamed"}},
        {"the module deletes",
         [&] {
             throughModule([&](korva::test::TestHost& host) {
                 return host.table()->destroyObject(host.context(), host.login(1, kUserPin), host.settings(), &first);
             });
         },
         {"added"}},
    };
    for (const Change& change : changes) {
        change.make();
        ck_slot_info slot{};  // a call between that takes the card: the change is still seen
        EXPECT_EQ(f->C_GetSlotInfo(0, &slot), CKR_OK);
        EXPECT_EQ(labels(), change.labels) << change.what;
        EXPECT_EQ(labels(), change.labels) << change.what << ", asked again";
    }
}

TEST_F(ObjectCacheTest, LogoutDropsPrivateObjects) {
    const ck_object_handle_t secret = dataObject(session, "private", true);
    dataObject(session, "public");
    EXPECT_EQ(labels(), (std::vector<std::string>{"private", "public"}));
    ASSERT_EQ(f->C_Logout(session), CKR_OK);
    EXPECT_EQ(labels(), (std::vector<std::string>{"public"}));
    char label[16];
    ck_attribute read{CKA_LABEL, label, sizeof label};
    EXPECT_NE(f->C_GetAttributeValue(session, secret, &read, 1), CKR_OK);
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    EXPECT_EQ(labels(), (std::vector<std::string>{"private", "public"}));
}

TEST(CardConfiguration, NamesCardFilesRelativeToTheFile) {
    std::istringstream text("# slots\ncard = a.card\n  card=/abs/b.card # second\nreader = x\ncard =\n");
    const auto files = korva::host::parseCardConfiguration(text, "/etc/korva");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], "/etc/korva/a.card");
    EXPECT_EQ(files[1], "/abs/b.card");
}

TEST(CardConfiguration, DefaultCardIsCreatedFactoryFresh) {
    korva::test::TempPath folder;
    unsetenv("KORVA_CARDS");
    setenv("KORVA_PKCS11_CONFIG", (folder.path() / "none.conf").c_str(), 1);
    setenv("XDG_DATA_HOME", folder.path().c_str(), 1);
    setenv("KORVA_CARD_PIN_COST", "1", 1);
    ck_function_list* f = library();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    ck_token_info info{};
    EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "korva" / "token.card"));
    unsetenv("KORVA_PKCS11_CONFIG");
    unsetenv("XDG_DATA_HOME");
}

}  // namespace

// A new process answers from what another one kept in the user's cache
// folder (the counter is all it asks of the card), never with what a third
// process changed since.
TEST_F(ObjectCacheTest, ANewProcessAnswersFromTheKeptObjectsUntilTheCounterMoves) {
    dataObject(session, "first");
    dataObject(session, "hidden", true);
    inChild(
        [&](ck_session_handle_t own) {  // without the user: a search of everything, then a read
            ck_object_handle_t found[8];
            unsigned long count = 0;
            char label[16];
            ck_attribute read{CKA_LABEL, label, sizeof label};
            f->C_FindObjectsInit(own, nullptr, 0);
            f->C_FindObjects(own, found, 8, &count);
            f->C_FindObjectsFinal(own);
            return count == 1 && f->C_GetAttributeValue(own, found[0], &read, 1) == CKR_OK ? 0 : 3;
        },
        false);
    const auto kept = std::filesystem::directory_iterator(folder.path() / "cache" / "korva")->path();
    std::ifstream in(kept, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(bytes.find("first"), std::string::npos);
    EXPECT_EQ(bytes.find("hidden"), std::string::npos);  // a private object is never kept

    const auto newProcess = [&] {
        ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
        initialise();
        ck_token_info info{};
        ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
        ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    };
    newProcess();
    EXPECT_EQ(exchangesOf([&] { EXPECT_EQ(labels(), std::vector<std::string>{"first"}); }), 3u);
    inChild([&](ck_session_handle_t own) { return dataObject(own, "added") ? 0 : 3; });
    newProcess();
    EXPECT_EQ(labels(), (std::vector<std::string>{"added", "first"}));
}
