// The library on a card in a PC/SC reader: pcscd with vpcd's virtual reader
// and the card program (korva-vcard) on a card file of the test's own. These
// tests need pcscd running with the vpcd driver (scripts/test starts it);
// they use the driver's second reader (port 35964) and start, stop and
// restart the card there by process id. KORVA_TEST_PCSC_T0=1 runs the card
// as a T=0 card.
#include "tests/host/library_fixture.h"
#include "tests/objects/layout_checker.h"
#include "tests/support/temp_path.h"

#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

using korva::test::kSoPin;
using korva::test::kUserPin;
using korva::test::library;
using korva::test::text;

constexpr const char* kReaderName = "Virtual PCD 00 01";

// Runs a program and waits for it; its exit status.
int run(const std::vector<std::string>& command) {
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> arguments;
        for (const auto& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
        arguments.push_back(nullptr);
        freopen("/dev/null", "w", stdout);
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PcscTest : public ::testing::Test {
protected:
    void SetUp() override {
        f = library();
        ASSERT_NE(f, nullptr);
        setenv("KORVA_READERS", "pcsc", 1);
        setenv("KORVA_CARD_PIN_COST", "1", 1);  // the card program's fresh card derives cheaply
        insert();
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        slot = findSlot();
        ASSERT_TRUE(waitForCard(true)) << "no card in " << kReaderName << ": is pcscd running with vpcd?";
    }
    void TearDown() override {
        f->C_Finalize(nullptr);
        takeAway();
    }

    // The card program on the test's card file; `extra` options first.
    void insert(std::vector<std::string> extra = {}) {
        takeAway();
        std::vector<std::string> command = {KORVA_VCARD_PATH, "--port", "35964"};
        if (const char* t0 = std::getenv("KORVA_TEST_PCSC_T0"); t0 != nullptr && std::string(t0) == "1")
            command.push_back("--t0");
        command.insert(command.end(), extra.begin(), extra.end());
        command.push_back(cardFile.string());
        card = fork();
        if (card == 0) {
            std::vector<char*> arguments;
            for (const auto& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
            arguments.push_back(nullptr);
            execv(arguments[0], arguments.data());
            _exit(127);
        }
    }
    // Stops the card program (by its process id) and waits for it.
    void takeAway() {
        if (card <= 0) return;
        kill(card, SIGTERM);
        waitpid(card, nullptr, 0);
        card = 0;
    }
    // Waits for a card program that takes the card away by itself to end.
    bool cardProgramEnded() {
        for (int i = 0; i < 100; ++i) {
            if (waitpid(card, nullptr, WNOHANG) == card) {
                card = 0;
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    ck_slot_id_t findSlot() {
        unsigned long count = 0;
        EXPECT_EQ(f->C_GetSlotList(0, nullptr, &count), CKR_OK);
        std::vector<ck_slot_id_t> slots(count);
        EXPECT_EQ(f->C_GetSlotList(0, slots.data(), &count), CKR_OK);
        for (ck_slot_id_t found : slots) {
            ck_slot_info info{};
            EXPECT_EQ(f->C_GetSlotInfo(found, &info), CKR_OK);
            if (std::string(reinterpret_cast<char*>(info.slot_description), sizeof info.slot_description)
                    .starts_with(kReaderName)) {
                EXPECT_EQ(info.flags & (CKF_REMOVABLE_DEVICE | CKF_HW_SLOT), CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
                return found;
            }
        }
        ADD_FAILURE() << "no slot for " << kReaderName;
        return 0;
    }

    bool waitForCard(bool present) {
        for (int i = 0; i < 100; ++i) {
            ck_slot_info info{};
            if (f->C_GetSlotInfo(slot, &info) == CKR_OK && ((info.flags & CKF_TOKEN_PRESENT) != 0) == present)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // An initialised token with a logged-in read-write session.
    ck_session_handle_t readyToken() {
        unsigned char label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "pcsc test", 9);
        EXPECT_EQ(f->C_InitToken(slot, text(kSoPin), 8, label), CKR_OK);
        return userSession();
    }
    ck_session_handle_t userSession() {
        ck_session_handle_t session = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
        EXPECT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
        return session;
    }

    ck_rv_t createPrivateData(ck_session_handle_t session, const char* label) {
        unsigned long objectClass = CKO_DATA;
        unsigned char yes = 1, value[40] = {7};
        ck_attribute attributes[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                                     {CKA_TOKEN, &yes, 1},
                                     {CKA_PRIVATE, &yes, 1},
                                     {CKA_LABEL, const_cast<char*>(label), std::strlen(label)},
                                     {CKA_VALUE, value, sizeof value}};
        ck_object_handle_t object = 0;
        return f->C_CreateObject(session, attributes, 5, &object);
    }

    void gostKeyPair(ck_session_handle_t session, ck_object_handle_t& publicKey, ck_object_handle_t& privateKey) {
        unsigned char yes = 1, id[] = {0x42};
        ck_attribute publicTemplate[] = {{CKA_TOKEN, &yes, 1}, {CKA_VERIFY, &yes, 1}, {CKA_ID, id, 1}};
        ck_attribute privateTemplate[] = {
            {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}, {CKA_ID, id, 1}};
        ck_mechanism generation{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
        ASSERT_EQ(
            f->C_GenerateKeyPair(session, &generation, publicTemplate, 3, privateTemplate, 4, &publicKey, &privateKey),
            CKR_OK);
    }

    // The key of the pair made by gostKeyPair, looked up again (handles of
    // private objects end with the login).
    ck_object_handle_t keyOfClass(ck_session_handle_t session, unsigned long keyClass) {
        unsigned char id[] = {0x42};
        ck_attribute wanted[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, 1}};
        ck_object_handle_t found = 0;
        unsigned long count = 0;
        EXPECT_EQ(f->C_FindObjectsInit(session, wanted, 2), CKR_OK);
        EXPECT_EQ(f->C_FindObjects(session, &found, 1, &count), CKR_OK);
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        EXPECT_EQ(count, 1u);
        return found;
    }

    ck_rv_t sign(ck_session_handle_t session, ck_object_handle_t key, std::vector<unsigned char>& signature) {
        ck_mechanism mechanism{CKM_GOSTR3410, nullptr, 0};
        std::vector<unsigned char> hash(32, 0x5C);
        signature.assign(128, 0);
        unsigned long length = signature.size();
        if (const ck_rv_t rv = f->C_SignInit(session, &mechanism, key); rv != CKR_OK) return rv;
        const ck_rv_t rv = f->C_Sign(session, hash.data(), hash.size(), signature.data(), &length);
        signature.resize(length);
        return rv;
    }

    ck_rv_t verify(ck_session_handle_t session, ck_object_handle_t key, std::vector<unsigned char>& signature) {
        ck_mechanism mechanism{CKM_GOSTR3410, nullptr, 0};
        std::vector<unsigned char> hash(32, 0x5C);
        if (const ck_rv_t rv = f->C_VerifyInit(session, &mechanism, key); rv != CKR_OK) return rv;
        return f->C_Verify(session, hash.data(), hash.size(), signature.data(), signature.size());
    }

    ck_function_list* f = nullptr;
    korva::test::TempPath folder{"korva-pcsc"};
    std::filesystem::path cardFile = folder.path() / "pcsc.card";
    pid_t card = 0;
    ck_slot_id_t slot = 0;
};

std::string contentOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reset by another application, taken out, put back; what waits for slot
// events hears of it, and C_Finalize wakes a waiter.
TEST_F(PcscTest, CardEventsReachTheApplication) {
    ck_slot_id_t changed = 99;
    while (f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &changed, nullptr) == CKR_OK) {
        // the insertion of the test's card, and whatever else happened since C_Initialize
    }
    EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &changed, nullptr), CKR_NO_EVENT);
    const ck_session_handle_t session = readyToken();
    ASSERT_EQ(createPrivateData(session, "before reset"), CKR_OK);

    // Another application resets the card: its PIN state is gone, the
    // library reconnects and presents the PIN again within the call.
    ASSERT_EQ(run({"opensc-tool", "--reader", kReaderName, "--card-driver", "default", "--reset"}), 0);
    EXPECT_EQ(createPrivateData(session, "after reset"), CKR_OK);

    takeAway();
    EXPECT_EQ(f->C_WaitForSlotEvent(0, &changed, nullptr), CKR_OK);
    EXPECT_EQ(changed, slot);
    const ck_rv_t first = createPrivateData(session, "card gone");
    EXPECT_TRUE(first == CKR_DEVICE_REMOVED || first == CKR_SESSION_HANDLE_INVALID) << first;
    EXPECT_EQ(createPrivateData(session, "card gone"), CKR_SESSION_HANDLE_INVALID);
    ck_token_info token{};
    EXPECT_EQ(f->C_GetTokenInfo(slot, &token), CKR_TOKEN_NOT_PRESENT);

    insert();
    EXPECT_EQ(f->C_WaitForSlotEvent(0, &changed, nullptr), CKR_OK);
    EXPECT_EQ(changed, slot);
    ck_session_handle_t fresh = 0;
    ASSERT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &fresh), CKR_OK);
    ck_session_info info{};
    ASSERT_EQ(f->C_GetSessionInfo(fresh, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);  // the old login ended with the card

    auto waiter = std::async(std::launch::async, [&] { return f->C_WaitForSlotEvent(0, &changed, nullptr); });
    EXPECT_EQ(waiter.wait_for(300ms), std::future_status::timeout);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

// The card taken away in the middle of a call: the call says so, the card
// file stays sound, and the card works again once it is back.
struct MidCall {
    const char* name;
    const char* vanishOn;  // the instruction at which the card goes
    bool signature;        // a signature, or else an object creation
    // What the layout checker may find: a creation cut short leaves what it
    // had written (a body without its record), as after any failed creation;
    // the object is not there and the others are untouched.
    std::vector<std::string> mayLeave;
};

void PrintTo(const MidCall& row, std::ostream* out) { *out << row.name; }

class CardTakenAway : public PcscTest, public ::testing::WithParamInterface<MidCall> {};

TEST_P(CardTakenAway, CallFailsFileStaysSoundCardWorksAgain) {
    const MidCall given = GetParam();
    ck_session_handle_t session = readyToken();
    ck_object_handle_t publicKey = 0, privateKey = 0;
    gostKeyPair(session, publicKey, privateKey);
    ASSERT_EQ(createPrivateData(session, "kept"), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(session), CKR_OK);

    takeAway();
    ASSERT_TRUE(waitForCard(false));
    insert({"--vanish-on", given.vanishOn});
    ASSERT_TRUE(waitForCard(true));
    session = userSession();
    privateKey = keyOfClass(session, CKO_PRIVATE_KEY);
    std::vector<unsigned char> signature;
    const ck_rv_t rv = given.signature ? sign(session, privateKey, signature) : createPrivateData(session, "lost");
    EXPECT_EQ(rv, CKR_DEVICE_REMOVED);
    ASSERT_TRUE(cardProgramEnded());

    korva::sim::VirtualCard onFile = korva::sim::VirtualCard::load(cardFile);
    for (const std::string& problem : korva::test::checkObjectStore(onFile, {}).problems) {
        EXPECT_TRUE(std::any_of(given.mayLeave.begin(), given.mayLeave.end(), [&](const std::string& part) {
            return problem.find(part) != std::string::npos;
        })) << problem;
    }

    ASSERT_TRUE(waitForCard(false));
    insert();
    ASSERT_TRUE(waitForCard(true));
    session = userSession();
    ASSERT_EQ(sign(session, keyOfClass(session, CKO_PRIVATE_KEY), signature), CKR_OK);
    EXPECT_EQ(verify(session, keyOfClass(session, CKO_PUBLIC_KEY), signature), CKR_OK);
    unsigned long dataClass = CKO_DATA;
    ck_attribute kept[] = {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_LABEL, const_cast<char*>("kept"), 4}};
    ck_object_handle_t found[2];
    unsigned long count = 0;
    ASSERT_EQ(f->C_FindObjectsInit(session, kept, 2), CKR_OK);
    ASSERT_EQ(f->C_FindObjects(session, found, 2, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(PcscTest, CardTakenAway,
                         ::testing::Values(MidCall{"Signature", "2A", true, {}},
                                           MidCall{"Creation", "DC", false, {"has no record"}}),
                         [](const ::testing::TestParamInfo<MidCall>& row) { return std::string(row.param.name); });

// A card that does not answer as ours in the reader: every token call says so
// within a bound, and nothing but the question whether it is ours reaches the
// card (its file stays as it was). A card of another application is a token
// the library does not know; one whose answer is no answer of ours, or that
// answers nothing until the reader gives up, is a device error (asked again
// at the next call, never taken for ours).
struct NotOurs {
    const char* name;
    std::vector<std::string> options;
    ck_rv_t expected;
};

void PrintTo(const NotOurs& row, std::ostream* out) { *out << row.name; }

class CardNotOurs : public PcscTest, public ::testing::WithParamInterface<NotOurs> {};

TEST_P(CardNotOurs, TokenCallsFailAtOnceAndNeverWrite) {
    takeAway();
    ASSERT_TRUE(waitForCard(false));
    const std::string before = contentOf(cardFile);
    insert(GetParam().options);
    ASSERT_TRUE(waitForCard(true));
    const auto start = std::chrono::steady_clock::now();
    ck_token_info token{};
    EXPECT_EQ(f->C_GetTokenInfo(slot, &token), GetParam().expected);
    unsigned char label[32];
    std::memset(label, ' ', sizeof label);
    EXPECT_EQ(f->C_InitToken(slot, text(kSoPin), 8, label), GetParam().expected);
    ck_session_handle_t session = 0;
    EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              GetParam().expected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // no waiting on a card that will never answer 90 00
    takeAway();
    EXPECT_EQ(contentOf(cardFile), before);
}

INSTANTIATE_TEST_SUITE_P(PcscTest, CardNotOurs,
                         ::testing::Values(NotOurs{"Foreign", {"--foreign"}, CKR_TOKEN_NOT_RECOGNIZED},
                                           NotOurs{"Garbage", {"--answer-all", "C35A17E209"}, CKR_TOKEN_NOT_RECOGNIZED},
                                           NotOurs{"EndlessMoreData", {"--answer-all", "6100"}, CKR_DEVICE_ERROR},
                                           NotOurs{"OneByte", {"--answer-all", "90"}, CKR_DEVICE_ERROR},
                                           NotOurs{"Mute", {"--mute"}, CKR_DEVICE_ERROR}),
                         [](const ::testing::TestParamInfo<NotOurs>& row) { return std::string(row.param.name); });

// What the library writes to its trace (stderr) while `step` runs.
template <typename Step>
std::string traceOf(const std::filesystem::path& file, Step step) {
    std::fflush(stderr);
    const int savedError = dup(2);
    FILE* trace = std::fopen(file.c_str(), "w");
    dup2(fileno(trace), 2);
    step();
    std::fflush(stderr);
    dup2(savedError, 2);
    close(savedError);
    std::fclose(trace);
    return contentOf(file);
}

// pcscd stopped while the library runs (scripts/pcsc-tests gives the test its
// pcscd's process id): a reader slot listed before answers as no slot any
// more, at once; the readers' slots leave the slot list with a trace line
// saying why, the card file's slot keeps working; a library started with
// pcscd absent has the card file's slot only, and says why.
TEST(PcscdStopped, ReaderSlotsGoCardFileSlotStays) {
    const char* pcscd = std::getenv("KORVA_TEST_PCSCD_PID");
    if (pcscd == nullptr) GTEST_SKIP() << "KORVA_TEST_PCSCD_PID names no pcscd this test may stop";
    ck_function_list* f = library();
    ASSERT_NE(f, nullptr);
    korva::test::TempPath folder{"korva-pcscd-stop"};
    unsetenv("KORVA_READERS");
    setenv("KORVA_PKCS11_CONFIG", (folder.path() / "none.conf").c_str(), 1);
    setenv("KORVA_CARDS", (folder.path() / "file.card").c_str(), 1);
    setenv("KORVA_PKCS11_TRACE", "1", 1);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    ck_slot_id_t listed[3];
    unsigned long count = 3;
    ASSERT_EQ(f->C_GetSlotList(0, listed, &count), CKR_OK);
    ASSERT_GT(count, 1u) << "the card file's slot and the readers' slots";

    std::string trace = traceOf(folder.path() / "trace", [&] {
        const pid_t service = static_cast<pid_t>(std::atoi(pcscd));
        ASSERT_EQ(kill(service, SIGTERM), 0);
        // Until it has ended: its program link goes with its memory, before the script reaps it.
        while (access(("/proc/" + std::to_string(service) + "/exe").c_str(), F_OK) == 0)
            std::this_thread::sleep_for(5ms);
        const auto start = std::chrono::steady_clock::now();
        ck_session_handle_t session = 0;
        EXPECT_EQ(f->C_OpenSession(listed[1], CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_SLOT_ID_INVALID);
        ck_token_info token{};
        EXPECT_EQ(f->C_GetTokenInfo(listed[1], &token), CKR_SLOT_ID_INVALID);
        ck_slot_info slotInfo{};
        EXPECT_EQ(f->C_GetSlotInfo(listed[1], &slotInfo), CKR_SLOT_ID_INVALID);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        for (int i = 0; i < 100 && count != 1; ++i) {
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(f->C_GetSlotList(0, nullptr, &count), CKR_OK);
        }
    });
    EXPECT_EQ(count, 1u);
    EXPECT_NE(trace.find(": its slot is gone"), std::string::npos) << trace;

    for (const bool restarted : {false, true}) {
        if (restarted) {
            EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
            trace = traceOf(folder.path() / "trace", [&] { ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK); });
            EXPECT_NE(trace.find("SCARD_E_NO_SERVICE (pcscd is not running): no reader slots"), std::string::npos)
                << trace;
        }
        ck_slot_id_t slot = 99;
        count = 2;
        ASSERT_EQ(f->C_GetSlotList(1, &slot, &count), CKR_OK);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(slot, 0u);
        ck_token_info token{};
        EXPECT_EQ(f->C_GetTokenInfo(slot, &token), CKR_OK);
        ck_session_handle_t session = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    }
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
}

// Another application sends its own commands to the same card while the
// library signs: the transactions keep them apart, every signature verifies.
TEST_F(PcscTest, TwoApplicationsOnOneReader) {
    const ck_session_handle_t session = readyToken();
    ck_object_handle_t publicKey = 0, privateKey = 0;
    gostKeyPair(session, publicKey, privateKey);
    std::atomic<bool> signing{true};
    std::atomic<int> otherCommands{0};
    std::thread other([&] {
        while (signing) {
            if (run({"opensc-tool", "--reader", kReaderName, "--card-driver", "default", "--send-apdu",
                     "00:A4:08:00:02:05:1E"}) == 0)
                ++otherCommands;
        }
    });
    for (int i = 0; i < 10; ++i) {
        std::vector<unsigned char> signature;
        ASSERT_EQ(sign(session, privateKey, signature), CKR_OK) << "signature " << i;
        EXPECT_EQ(verify(session, publicKey, signature), CKR_OK) << "signature " << i;
    }
    signing = false;
    other.join();
    EXPECT_GT(otherCommands.load(), 0);
}

}  // namespace
