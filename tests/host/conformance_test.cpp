// The standard's rules for sessions, login states, objects and handles, as
// tables of calls and the codes they must give.
#include "host/attributes.h"
#include "host/session_key_journal.h"
#include "host/token.h"

#include "tests/host/library_fixture.h"
#include "tests/support/test_host.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <array>
#include <string>

namespace korva::test {
namespace {

constexpr unsigned long kGostSign = 0xD4321008;  // GOST R 34.10-2012 with Streebog-256

class Conformance : public LibraryTest {
protected:
    // Slot 0 initialised; `session` of the kind asked, with that login.
    void open(bool readWrite, std::optional<unsigned long> user) {
        initialise();
        ASSERT_EQ(f->C_CloseSession(readyToken()), CKR_OK);
        const ck_flags_t flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
        ASSERT_EQ(f->C_OpenSession(0, flags, nullptr, nullptr, &session), CKR_OK);
        if (user) {
            ASSERT_EQ(f->C_Login(session, *user, text(*user == CKU_SO ? kSoPin : kUserPin), 8), CKR_OK);
        }
    }
    ck_rv_t dataObject(bool onCard, ck_object_handle_t* object, ck_session_handle_t in = 0) {
        unsigned long dataClass = CKO_DATA;
        unsigned char token = onCard, value[] = "data";
        ck_attribute made[] = {
            {CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &token, 1}, {CKA_VALUE, value, 4}};
        return f->C_CreateObject(in != 0 ? in : session, made, 3, object);
    }
    ck_rv_t keyPair(bool onCard, ck_object_handle_t* publicKey, ck_object_handle_t* privateKey,
                    ck_session_handle_t in = 0) {
        unsigned char token = onCard;
        ck_attribute both[] = {{CKA_TOKEN, &token, 1}};
        ck_mechanism gost{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
        return f->C_GenerateKeyPair(in != 0 ? in : session, &gost, both, 1, both, 1, publicKey, privateKey);
    }
    ck_rv_t secretKey(ck_object_handle_t* key) {  // CKA_CLASS implied, private by default
        unsigned char no = 0;
        ck_attribute sessionOnly[] = {{CKA_TOKEN, &no, 1}};
        ck_mechanism des2{CKM_DES2_KEY_GEN, nullptr, 0};
        return f->C_GenerateKey(session, &des2, sessionOnly, 1, key);
    }
    ck_session_handle_t session = 0;
};

// Session kind x login state x operation -> code, before any card traffic.
struct AccessRow {
    bool readWrite;
    std::optional<unsigned long> user;
    const char* operation;
    ck_rv_t expected;
};
const AccessRow kAccessRows[] = {
    {false, {}, "token object", CKR_SESSION_READ_ONLY},
    {true, {}, "token object", CKR_USER_NOT_LOGGED_IN},
    {false, CKU_USER, "token object", CKR_SESSION_READ_ONLY},
    {true, CKU_USER, "token object", CKR_OK},
    {false, {}, "token key pair", CKR_SESSION_READ_ONLY},
    {true, {}, "token key pair", CKR_USER_NOT_LOGGED_IN},
    {false, CKU_USER, "token key pair", CKR_SESSION_READ_ONLY},
    {true, CKU_SO, "token key pair", CKR_USER_NOT_LOGGED_IN},
    {false, {}, "private session key", CKR_USER_NOT_LOGGED_IN},
    {true, CKU_SO, "private session key", CKR_USER_NOT_LOGGED_IN},
    {false, CKU_USER, "private session key", CKR_OK},
    {false, {}, "sign", CKR_USER_NOT_LOGGED_IN},
    {true, CKU_SO, "sign", CKR_USER_NOT_LOGGED_IN},
};

TEST_F(Conformance, AccessBySessionKindAndLoginState) {
    for (const AccessRow& row : kAccessRows) {
        SCOPED_TRACE(std::string(row.operation) + (row.readWrite ? " rw " : " ro ") +
                     std::to_string(row.user.value_or(9)));
        open(row.readWrite, row.user);
        ck_object_handle_t made = 0, other = 0;
        const std::string operation = row.operation;
        ck_mechanism sign{kGostSign, nullptr, 0};
        if (operation == "token object") {
            EXPECT_EQ(dataObject(true, &made), row.expected);
        }
        if (operation == "token key pair") {
            EXPECT_EQ(keyPair(true, &made, &other), row.expected);
        }
        if (operation == "private session key") {
            EXPECT_EQ(secretKey(&made), row.expected);
        }
        if (operation == "sign") {
            EXPECT_EQ(f->C_SignInit(session, &sign, 1), row.expected);
        }
        f->C_Finalize(nullptr);
    }
}

// A handle names its object only: not one made later in its place, not one
// of another slot, not a private one after logout or anything after the
// token was initialised again.
TEST_F(Conformance, HandlesFailOnceTheirObjectIsGone) {
    open(true, CKU_USER);
    ck_session_handle_t second = 0;
    ASSERT_EQ(f->C_InitToken(1, text(kSoPin), 8, text("second")), CKR_OK);
    ASSERT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &second), CKR_OK);
    ck_object_handle_t gone = 0, later = 0, elsewhere = 0, publicKey = 0, privateKey = 0;
    ASSERT_EQ(dataObject(true, &gone), CKR_OK);
    ASSERT_EQ(f->C_DestroyObject(session, gone), CKR_OK);
    ASSERT_EQ(dataObject(true, &later), CKR_OK);
    ASSERT_EQ(f->C_Login(second, CKU_USER, text(kUserPin), 8), CKR_OK);
    ASSERT_EQ(dataObject(true, &elsewhere, second), CKR_OK);
    EXPECT_NE(later, gone);
    ASSERT_EQ(keyPair(true, &publicKey, &privateKey), CKR_OK);
    unsigned long size = 0, objectClass = 0;
    ck_attribute classOnly{CKA_CLASS, &objectClass, sizeof objectClass};
    ck_mechanism sign{kGostSign, nullptr, 0};
    const auto expectGone = [&](ck_object_handle_t object, ck_rv_t keyCode) {
        EXPECT_EQ(f->C_GetAttributeValue(session, object, &classOnly, 1), CKR_OBJECT_HANDLE_INVALID);
        EXPECT_EQ(f->C_SetAttributeValue(session, object, &classOnly, 1), CKR_OBJECT_HANDLE_INVALID);
        EXPECT_EQ(f->C_GetObjectSize(session, object, &size), CKR_OBJECT_HANDLE_INVALID);
        EXPECT_EQ(f->C_SignInit(session, &sign, object), keyCode);
        EXPECT_EQ(f->C_DestroyObject(session, object), CKR_OBJECT_HANDLE_INVALID);
    };
    expectGone(gone, CKR_KEY_HANDLE_INVALID);
    expectGone(elsewhere, CKR_KEY_HANDLE_INVALID);
    ASSERT_EQ(f->C_Logout(session), CKR_OK);
    expectGone(privateKey, CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(f->C_CloseSession(session), CKR_OK);
    ASSERT_EQ(f->C_InitToken(0, text(kSoPin), 8, text("again")), CKR_OK);
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    expectGone(publicKey, CKR_USER_NOT_LOGGED_IN);
}

// Another process destroys the objects this one holds handles to and makes
// others in their records, or only renames them beside a new object of its
// own: the handles fail in the first case and work on in the second.
TEST_F(Conformance, HandlesSeeWhatAnotherProcessDid) {
    const struct {
        bool replace;
        ck_rv_t object, key;
    } rows[] = {{true, CKR_OBJECT_HANDLE_INVALID, CKR_KEY_HANDLE_INVALID}, {false, CKR_OK, CKR_OK}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.replace ? "replaced" : "renamed");
        open(true, CKU_USER);
        ck_object_handle_t data = 0, publicKey = 0, privateKey = 0;
        ASSERT_EQ(dataObject(true, &data), CKR_OK);
        ASSERT_EQ(keyPair(true, &publicKey, &privateKey), CKR_OK);
        unsigned char label[] = "renamed", newValue[] = "DATA";
        inChild([&](ck_session_handle_t own) {
            ck_object_handle_t found[3], made = 0, other = 0;
            unsigned long count = 0, failures = 0;
            ck_attribute rename{CKA_LABEL, label, 7}, changed{CKA_VALUE, newValue, 4};
            f->C_FindObjectsInit(own, nullptr, 0);
            f->C_FindObjects(own, found, 3, &count);
            f->C_FindObjectsFinal(own);
            for (unsigned long i = 0; i < count; ++i)
                failures += (row.replace ? f->C_DestroyObject(own, found[i])
                                         : f->C_SetAttributeValue(own, found[i], &rename, 1)) != CKR_OK;
            failures += dataObject(true, &made, own) != CKR_OK;
            if (row.replace)
                failures += f->C_SetAttributeValue(own, made, &changed, 1) != CKR_OK ||
                            keyPair(true, &made, &other, own) != CKR_OK;
            return count == 3 && failures == 0 ? 0 : 3;
        });
        // The new data object took the old one's record.
        auto card = TestHost::withCardFile(cards[0]);
        abi::CK_ATTRIBUTE* held = nullptr;
        abi::CK_ULONG count = 0, objectClass = 0;
        uint8_t isPrivate = 0;
        const abi::ObjectHandle firstData{1, 0x50, 0x07};
        ASSERT_EQ(card->table()->getAllAttributes(card->context(), nullptr, card->settings(), &firstData, &held, &count,
                                                  &objectClass, &isPrivate),
                  CKR_OK);
        const auto value = host::AttributeView(held, count).find(CKA_VALUE);
        EXPECT_EQ(value && value->size() == 4 && std::memcmp(value->data(), newValue, 4) == 0, row.replace);
        card->table()->releaseAttributes(held, count);
        ck_slot_info slot{};
        ASSERT_EQ(f->C_GetSlotInfo(0, &slot), CKR_OK);  // a call that takes the card and asks nothing of objects
        unsigned long readClass = 0;
        ck_attribute classOnly{CKA_CLASS, &readClass, sizeof readClass};
        ck_mechanism sign{kGostSign, nullptr, 0};
        EXPECT_EQ(f->C_GetAttributeValue(session, data, &classOnly, 1), row.object);
        EXPECT_EQ(f->C_VerifyInit(session, &sign, publicKey), row.key);
        EXPECT_EQ(f->C_SignInit(session, &sign, privateKey), row.key);
        f->C_Finalize(nullptr);
    }
}

// An operation whose key needs the user ends when the user logs out.
TEST_F(Conformance, OperationsStopAtLogout) {
    open(true, CKU_USER);
    ck_object_handle_t publicKey = 0, privateKey = 0;
    ASSERT_EQ(keyPair(true, &publicKey, &privateKey), CKR_OK);
    ck_mechanism sign{kGostSign, nullptr, 0};
    unsigned char data[] = "data", signature[64];
    unsigned long length = sizeof signature;
    ASSERT_EQ(f->C_SignInit(session, &sign, privateKey), CKR_OK);
    ASSERT_EQ(f->C_Logout(session), CKR_OK);
    EXPECT_EQ(f->C_Sign(session, data, 4, signature, &length), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(f->C_Sign(session, data, 4, signature, &length), CKR_OPERATION_NOT_INITIALIZED);
}

// An object shows only the attributes of its class, in reads, changes and searches.
TEST_F(Conformance, AttributesByClass) {
    open(true, CKU_USER);
    ck_object_handle_t data = 0, publicKey = 0, privateKey = 0;
    ASSERT_EQ(dataObject(true, &data), CKR_OK);
    ASSERT_EQ(keyPair(true, &publicKey, &privateKey), CKR_OK);
    unsigned char flag = 0, wide[2] = {1, 0};
    const struct {
        ck_object_handle_t* object;
        unsigned long type;
        ck_rv_t read, change;
    } rows[] = {
        {&data, CKA_SIGN, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_TYPE_INVALID},
        {&data, CKA_MODULUS, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_TYPE_INVALID},
        {&publicKey, CKA_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_TYPE_INVALID},
        {&publicKey, CKA_SIGN, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_TYPE_INVALID},
        {&privateKey, CKA_SIGN, CKR_OK, CKR_ATTRIBUTE_TYPE_INVALID},    // the card's usage flags stay
        {&privateKey, CKA_SENSITIVE, CKR_OK, CKR_ATTRIBUTE_READ_ONLY},  // back to false
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        ck_attribute asked{row.type, &flag, 1};
        EXPECT_EQ(f->C_GetAttributeValue(session, *row.object, &asked, 1), row.read);
        EXPECT_EQ(asked.value_len, row.read == CKR_OK ? 1 : CK_UNAVAILABLE_INFORMATION);
        const unsigned char stored = flag;
        flag = 0;
        EXPECT_EQ(f->C_SetAttributeValue(session, *row.object, &asked, 1), row.change);
        flag = stored;
        unsigned long count = 9;
        ck_object_handle_t found[4];
        ASSERT_EQ(f->C_FindObjectsInit(session, &asked, 1), CKR_OK);
        EXPECT_EQ(f->C_FindObjects(session, found, 4, &count), CKR_OK);
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        EXPECT_EQ(count == 0, row.read != CKR_OK);
    }
    ck_attribute twoBytes{CKA_TOKEN, wide, 2};
    EXPECT_EQ(f->C_SetAttributeValue(session, data, &twoBytes, 1), CKR_ATTRIBUTE_VALUE_INVALID);
}

// Session objects of every class: made in a read-only session, found with the
// card's objects, read, changed and destroyed; gone with their session.
TEST_F(Conformance, SessionObjectsOfEveryClass) {
    open(false, {});
    ck_session_handle_t other = 0;
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &other), CKR_OK);
    unsigned long classes[] = {CKO_DATA, CKO_CERTIFICATE, CKO_PUBLIC_KEY}, x509 = CKC_X_509, gost = CKK_GOSTR3410;
    unsigned char no = 0, value[] = "value", label[] = "mine", read[8] = {};
    for (unsigned long& objectClass : classes) {
        SCOPED_TRACE(objectClass);
        ck_attribute made[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                               {CKA_TOKEN, &no, 1},
                               {CKA_VALUE, value, 5},
                               {objectClass == CKO_PUBLIC_KEY ? CKA_KEY_TYPE : CKA_CERTIFICATE_TYPE,
                                objectClass == CKO_PUBLIC_KEY ? &gost : &x509, sizeof x509}};
        ck_object_handle_t object = 0, found = 0;
        ASSERT_EQ(f->C_CreateObject(session, made, objectClass == CKO_DATA ? 3 : 4, &object), CKR_OK);
        unsigned long count = 0;
        ASSERT_EQ(f->C_FindObjectsInit(other, made, 2), CKR_OK);
        EXPECT_EQ(f->C_FindObjects(other, &found, 1, &count), CKR_OK);
        EXPECT_EQ(f->C_FindObjectsFinal(other), CKR_OK);
        EXPECT_EQ(found, object);
        ck_attribute newLabel{CKA_LABEL, label, 4}, readValue{CKA_VALUE, read, sizeof read};
        EXPECT_EQ(f->C_SetAttributeValue(other, object, &newLabel, 1), CKR_OK);
        EXPECT_EQ(f->C_GetAttributeValue(other, object, &readValue, 1), CKR_OK);
        EXPECT_EQ(readValue.value_len, 5u);
        ck_attribute retoken{CKA_TOKEN, &no, 1};
        EXPECT_EQ(f->C_SetAttributeValue(other, object, &retoken, 1), CKR_ATTRIBUTE_READ_ONLY);
        EXPECT_EQ(f->C_DestroyObject(other, object), CKR_OK);
        EXPECT_EQ(f->C_GetAttributeValue(other, object, &readValue, 1), CKR_OBJECT_HANDLE_INVALID);
        ASSERT_EQ(f->C_CreateObject(session, made, objectClass == CKO_DATA ? 3 : 4, &object), CKR_OK);
        ASSERT_EQ(f->C_CloseSession(session), CKR_OK);
        EXPECT_EQ(f->C_GetAttributeValue(other, object, &readValue, 1), CKR_OBJECT_HANDLE_INVALID);
        ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    }
}

// Session keys the card keeps (a key pair, an AES key) are destroyed on the
// card when their session ends: no process finds them afterwards.
TEST_F(Conformance, SessionKeysOnTheCardEndWithTheirSession) {
    open(false, CKU_USER);
    ck_object_handle_t publicKey = 0, privateKey = 0, aes = 0;
    ASSERT_EQ(keyPair(false, &publicKey, &privateKey), CKR_OK);
    unsigned long sixteen = 16;
    unsigned char no = 0;
    ck_attribute aesTemplate[] = {{CKA_TOKEN, &no, 1}, {CKA_VALUE_LEN, &sixteen, sizeof sixteen}};
    ck_mechanism aesGen{CKM_AES_KEY_GEN, nullptr, 0};
    ASSERT_EQ(f->C_GenerateKey(session, &aesGen, aesTemplate, 2, &aes), CKR_OK);
    const auto cardKeys = [&] {
        ck_object_handle_t found[8];
        unsigned long count = 0;
        EXPECT_EQ(f->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
        EXPECT_EQ(f->C_FindObjects(session, found, 8, &count), CKR_OK);
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        return count;
    };
    EXPECT_EQ(cardKeys(), 3u);
    ASSERT_EQ(f->C_CloseSession(session), CKR_OK);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    initialise();
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    EXPECT_EQ(cardKeys(), 0u);
}

// A process killed while it holds a session pair leaves it on the card; the
// next process that logs in destroys it, by the dead process's journal.
TEST_F(Conformance, SessionKeysOfAKilledProcessGoAtTheNextLogin) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        open(true, CKU_USER);
        ck_object_handle_t publicKey = 0, privateKey = 0;
        if (!HasFatalFailure() && keyPair(false, &publicKey, &privateKey) == CKR_OK) (void)!write(ready[1], "k", 1);
        pause();
        _exit(1);
    }
    char made = 0;
    (void)!::close(ready[1]);
    const bool childMadeThePair = read(ready[0], &made, 1) == 1;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(childMadeThePair);
    initialise();
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    const auto sessionKeysOnCard = [&] {
        unsigned char no = 0;
        ck_attribute notToken{CKA_TOKEN, &no, 1};
        ck_object_handle_t found[8];
        unsigned long count = 0;
        EXPECT_EQ(f->C_FindObjectsInit(session, &notToken, 1), CKR_OK);
        EXPECT_EQ(f->C_FindObjects(session, found, 8, &count), CKR_OK);
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        return count;
    };
    EXPECT_EQ(sessionKeysOnCard(), 1u);  // the public half, readable before login
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    EXPECT_EQ(sessionKeysOnCard(), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(folder.path() / "korva/session-keys"));
}

// Journals are anyone's to write: every count is bounded by the bytes present.
TEST(SessionKeyJournal, DecodesOnlyWhatItWrote) {
    const std::vector<uint8_t> two = host::encodeJournal({{{1, 0x41, 0x00}, {2, 0x42, 0x00}}, true});
    const auto decoded = host::decodeJournal(two);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->pending);
    ASSERT_EQ(decoded->owned.size(), 2u);
    EXPECT_EQ(decoded->owned[1].directoryHigh, 0x42);
    std::vector<uint8_t> countTooLarge = two, badFlag = two, badMagic = two, huge = two;
    countTooLarge[6] = 3;
    badFlag[4] = 2;
    badMagic[0] = 'X';
    huge.resize(1 << 16);
    for (const auto& hostile : {countTooLarge, badFlag, badMagic, huge,
                                std::vector<uint8_t>(two.begin(), two.end() - 1), std::vector<uint8_t>{}})
        EXPECT_FALSE(host::decodeJournal(hostile));
}

// Codes that were CKR_FUNCTION_FAILED or CKR_GENERAL_ERROR.
TEST_F(Conformance, CipherCodes) {
    open(true, CKU_USER);
    unsigned long sixteen = 16;
    unsigned char yes = 1, iv[16] = {}, out[64], wrapped[3] = {1, 2, 3};
    unsigned long outLength = sizeof out;
    ck_attribute aesTemplate[] = {{CKA_TOKEN, &yes, 1}, {CKA_VALUE_LEN, &sixteen, sizeof sixteen}};
    ck_mechanism aesGen{CKM_AES_KEY_GEN, nullptr, 0}, noIv{CKM_AES_CBC_PAD, nullptr, 0},
        padded{CKM_AES_CBC_PAD, iv, 16}, unknown{0x7FFFFFF0, nullptr, 0};
    ck_object_handle_t aes = 0, unwrapped = 0;
    ASSERT_EQ(f->C_GenerateKey(session, &aesGen, aesTemplate, 2, &aes), CKR_OK);
    EXPECT_EQ(f->C_EncryptInit(session, &noIv, aes), CKR_MECHANISM_PARAM_INVALID);
    ASSERT_EQ(f->C_DecryptInit(session, &padded, aes), CKR_OK);
    EXPECT_EQ(f->C_DecryptFinal(session, out, &outLength), CKR_ENCRYPTED_DATA_LEN_RANGE);
    EXPECT_EQ(f->C_UnwrapKey(session, &unknown, aes, wrapped, 3, aesTemplate, 1, &unwrapped), CKR_MECHANISM_INVALID);
    // A length query gives the code of the wrap it measures: an unknown
    // mechanism, a key the wrap refuses.
    ck_mechanism gostWrap{CKM_GOST28147_KEY_WRAP, nullptr, 0};
    for (ck_mechanism* refused : {&unknown, &gostWrap}) {
        unsigned long length = sizeof out;
        const ck_rv_t wrapCode = f->C_WrapKey(session, refused, aes, aes, out, &length);
        EXPECT_NE(wrapCode, CKR_OK);
        EXPECT_EQ(f->C_WrapKey(session, refused, aes, aes, nullptr, &length), wrapCode);
    }
}

// An attribute list is kept in a form that reads back the same (its numbers
// in the application's width), whatever the host's word size.
TEST_F(Conformance, WrapTemplateReadsBackAsGiven) {
    open(false, {});
    unsigned long publicClass = CKO_PUBLIC_KEY, secretClass = CKO_SECRET_KEY, gost = CKK_GOSTR3410, readClass = 0;
    unsigned char no = 0, yes = 1, readExtractable = 0;
    ck_attribute wrapped[] = {{CKA_CLASS, &secretClass, sizeof secretClass}, {CKA_EXTRACTABLE, &yes, 1}};
    ck_attribute made[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                           {CKA_TOKEN, &no, 1},
                           {CKA_KEY_TYPE, &gost, sizeof gost},
                           {CKA_WRAP_TEMPLATE, wrapped, sizeof wrapped}};
    ck_object_handle_t key = 0;
    ASSERT_EQ(f->C_CreateObject(session, made, 4, &key), CKR_OK);
    ck_attribute read[2] = {{CKA_CLASS, &readClass, sizeof readClass}, {CKA_EXTRACTABLE, &readExtractable, 1}};
    ck_attribute list{CKA_WRAP_TEMPLATE, nullptr, 0};
    ASSERT_EQ(f->C_GetAttributeValue(session, key, &list, 1), CKR_OK);
    EXPECT_EQ(list.value_len, sizeof read);
    list.value = read;
    ASSERT_EQ(f->C_GetAttributeValue(session, key, &list, 1), CKR_OK);
    EXPECT_EQ(readClass, CKO_SECRET_KEY);
    EXPECT_EQ(readExtractable, 1);
    EXPECT_EQ(read[0].value_len, sizeof(unsigned long));
}

// A wrong PIN sets the count-low flag until the next login; a locked PIN is
// named as such when it is to be changed.
TEST_F(Conformance, PinCodes) {
    open(true, {});
    ck_token_info info{};
    const auto countLow = [&] {
        EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
        return (info.flags & CKF_USER_PIN_COUNT_LOW) != 0;
    };
    EXPECT_FALSE(countLow());
    EXPECT_EQ(f->C_Login(session, CKU_USER, text("00000000"), 8), CKR_PIN_INCORRECT);
    EXPECT_TRUE(countLow());
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    EXPECT_FALSE(countLow());
    ASSERT_EQ(f->C_Logout(session), CKR_OK);
    for (int i = 0; i < 20 && f->C_Login(session, CKU_USER, text("00000000"), 8) == CKR_PIN_INCORRECT; ++i) {
    }
    EXPECT_EQ(f->C_SetPIN(session, text(kUserPin), 8, text("11111111"), 8), CKR_PIN_LOCKED);
}

// A change that only rewrites bytes of a file (UPDATE BINARY) is saved too.
TEST_F(Conformance, SameLengthValueChangeOutlivesTheProcess) {
    open(true, CKU_USER);
    ck_object_handle_t data = 0;
    ASSERT_EQ(dataObject(true, &data), CKR_OK);
    unsigned char changed[] = "DATA", read[4] = {};
    ck_attribute value{CKA_VALUE, changed, 4};
    ASSERT_EQ(f->C_SetAttributeValue(session, data, &value, 1), CKR_OK);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    initialise();
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    ASSERT_EQ(f->C_FindObjectsInit(session, &value, 1), CKR_OK);
    unsigned long count = 0;
    ASSERT_EQ(f->C_FindObjects(session, &data, 1, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    value.value = read;
    EXPECT_EQ(f->C_GetAttributeValue(session, data, &value, 1), CKR_OK);
    EXPECT_EQ(std::memcmp(read, changed, 4), 0);
}

// A PIN copy made for one module call, as every call with a login makes it.
// The probe's frames stay on the plain stack, where AddressSanitizer leaves them.
[[gnu::noinline, gnu::no_sanitize_address]] void presentPin() {
    host::LoginRecordCopy copy;
    // Byte by byte: an 8-byte move would leave the PIN in a register that a callee may save.
    for (int i = 0; i < 8; ++i) copy.get()->pin[i] = static_cast<const volatile char*>(kUserPin)[i];
    asm volatile("" : : "r"(copy.get()) : "memory");
}

// Lays a buffer over the stack frames just left and looks for the PIN there.
[[gnu::noinline, gnu::no_sanitize_address]] bool stackBelowHoldsPin() {
    std::array<char, 16384> probe;
    asm volatile("" : : "r"(probe.data()) : "memory");
    return std::search(probe.begin(), probe.end(), kUserPin, kUserPin + 8) != probe.end();
}

TEST(PinCopy, LeavesNothingOnTheStack) {
    presentPin();  // a first call: the dynamic linker's own writes come here
    presentPin();
    EXPECT_FALSE(stackBelowHoldsPin());
}

// Slots are not limited by the handle encoding.
TEST_F(Conformance, ManySlots) {
    std::string files;
    for (int i = 0; i < 130; ++i) files += (i ? ":" : "") + (folder.path() / (std::to_string(i) + ".card")).string();
    setenv("KORVA_CARDS", files.c_str(), 1);
    setenv("KORVA_CARD_PIN_COST", "1", 1);
    initialise();
    ck_object_handle_t object = 0;
    session = readyToken(129);
    ASSERT_EQ(f->C_Login(session, CKU_USER, text(kUserPin), 8), CKR_OK);
    ASSERT_EQ(dataObject(true, &object), CKR_OK);
    unsigned long objectClass = 0;
    ck_attribute classOnly{CKA_CLASS, &objectClass, sizeof objectClass};
    EXPECT_EQ(f->C_GetAttributeValue(session, object, &classOnly, 1), CKR_OK);
}

}  // namespace
}  // namespace korva::test
