// Every live slot of the table, called once through the loaded module on an
// initialised token, with what it wrote or changed checked. A slot wired to
// another operation, a trampoline that drops an argument, or a slot no other
// test calls fails here.
#include "tests/objects/store_fixture.h"

#include <korva/pkcs11_constants.h>

#include "common/openssl_ptr.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>

namespace korva::test {
namespace {

using namespace korva::abi;

const uint8_t* text(const std::string& value) { return reinterpret_cast<const uint8_t*>(value.data()); }

const std::string kSoPin = "87654321";
const std::string kLabel = "every slot                      ";

// Slots without a table entry here: null ones, constant answers (the module
// tests call those), and those whose arguments need a fixture of their own
// (a PKCS#12 file, certificate-request lists, signed messages, a key
// agreement): their end-to-end suites in tests/keys and tests/messages call
// them through the module.
const std::set<std::size_t> kNotHere = {8,  54, 58, 68, 69, 71,          // null
                                        2,  12, 25, 26, 44, 53, 56, 57,  // constant
                                        43, 46, 48, 49, 50};             // own suites

// AES-128 of one block, as OpenSSL computes it.
Bytes aesEcb(const Bytes& key, const Bytes& block, bool encrypt) {
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    Bytes out(block.size() + 16);
    int length = 0;
    if (!context || EVP_CipherInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_CipherUpdate(context.get(), out.data(), &length, block.data(), int(block.size())) != 1) {
        return {};
    }
    out.resize(std::size_t(length));
    return out;
}

class EverySlotTest : public StoreTest {
protected:
    // A card initialised by one of the three initialisation slots: the
    // settings record and the label it wrote.
    struct Initialised {
        Bytes settings;
        std::string label;
    };
    Initialised initialiseWith(const std::function<CK_RV(TestHost&)>& slot) {
        TestHost fresh;
        EXPECT_EQ(slot(fresh), CKR_OK);
        Initialised out{Bytes(17), ""};
        CK_ULONG length = 17;
        EXPECT_EQ(fresh.table()->readTokenSettings(fresh.context(), out.settings.data(), &length), CKR_OK);
        fresh.setSettings(out.settings);
        CK_TOKEN_INFO info{};
        EXPECT_EQ(fresh.table()->getTokenInfo(fresh.context(), fresh.settings(), &info), CKR_OK);
        out.label.assign(reinterpret_cast<const char*>(info.label), sizeof info.label);
        return out;
    }

    // VERIFY without data, beside the PIN in 05 1F: 90 00 while the PIN
    // stands verified.
    bool userPinVerified() {
        sendToCard(host->card(), "00 A4 08 00 02 05 1F");
        return sendToCard(host->card(), "00 20 00 07 00").statusWord() == 0x9000;
    }

    CK_RV login(const std::string& pin) {
        return slots().login(host->context(), host->settings(), text(pin), CK_ULONG(pin.size()), CKU_USER);
    }

    // Slots 29 to 36 in one direction: single-part, then update and final.
    using InitSlot = KeyOperationInitSlot;
    Bytes cipherOnce(InitSlot init, CipherDataSlot once, const Bytes& input) {
        const CK_MECHANISM mechanism{CKM_AES_ECB, nullptr, 0};
        OperationRecord cipherState{};
        EXPECT_EQ(init(host->context(), nullptr, nullptr, &mechanism, &aesKey, &cipherState), CKR_OK);
        Bytes out(input.size());
        CK_ULONG length = out.size();
        EXPECT_EQ(once(host->context(), user(), nullptr, input.data(), CK_ULONG(input.size()), out.data(), &length,
                       &aesKey, &cipherState, CKM_AES_ECB),
                  CKR_OK);
        out.resize(length);
        return out;
    }
    Bytes cipherInParts(InitSlot init, CipherDataSlot update, CipherFinalSlot final, const Bytes& input) {
        const CK_MECHANISM mechanism{CKM_AES_ECB, nullptr, 0};
        OperationRecord cipherState{};
        EXPECT_EQ(init(host->context(), nullptr, nullptr, &mechanism, &aesKey, &cipherState), CKR_OK);
        Bytes out(input.size() + 16);
        CK_ULONG length = out.size();
        EXPECT_EQ(update(host->context(), user(), nullptr, input.data(), CK_ULONG(input.size()), out.data(), &length,
                         &aesKey, &cipherState, CKM_AES_ECB),
                  CKR_OK);
        CK_ULONG rest = CK_ULONG(out.size()) - length;
        EXPECT_EQ(
            final(host->context(), user(), nullptr, out.data() + length, &rest, &aesKey, &cipherState, CKM_AES_ECB),
            CKR_OK);
        out.resize(length + rest);
        return out;
    }

    ObjectHandle publicKey{}, privateKey{}, rsaPublic{}, rsaPrivate{}, aesKey{}, gostKey{}, wrapped{};
    OperationRecord state{};
    FindCursor cursor{};
    const Bytes aesValue = Bytes(16, 0x2B);
    const Bytes plain = Bytes(32, 0x6C);
    Bytes wrapping = Bytes(36);
};

TEST_F(EverySlotTest, EachLiveSlotDoesItsOwnWork) {
    const Bytes hash(32, 0x3C);
    Bytes signature(64);
    Bytes rsaSignature(128);
    ObjectHandle dataHandle{};
    // clang-format off
    const std::vector<std::pair<std::size_t, std::function<void()>>> table = {
        {0, [&] {
             Bytes read(17);
             CK_ULONG length = 17;
             ASSERT_EQ(slots().readTokenSettings(host->context(), read.data(), &length), CKR_OK);
             EXPECT_EQ(read, Bytes(settings.begin(), settings.end()));
         }},
        {55, [&] {
             std::array<uint8_t, 17> bytes{};
             ASSERT_EQ(slots().getTokenSettings(host->context(), &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4],
                                                &bytes[5], &bytes[6], &bytes[7], &bytes[8], &bytes[9], &bytes[10],
                                                &bytes[11], &bytes[12], &bytes[13], &bytes[14], &bytes[15], &bytes[16]),
                       CKR_OK);
             EXPECT_EQ(bytes, settings);
         }},
        {6, [&] {
             CK_TOKEN_INFO info{};
             ASSERT_EQ(slots().getTokenInfo(host->context(), host->settings(), &info), CKR_OK);
             EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.label), 12), "object store");
         }},
        {7, [&] {
             ASSERT_EQ(login(kUserPin), CKR_OK);
             EXPECT_TRUE(userPinVerified());
         }},
        {1, [&] {
             ASSERT_EQ(slots().resetSecurityState(host->context()), CKR_OK);
             EXPECT_FALSE(userPinVerified());
         }},
        {67, [&] {
             ASSERT_EQ(slots().openUserSession(host->contextPointer(), user()), CKR_OK);
             EXPECT_TRUE(userPinVerified());
         }},
        {5, [&] {
             ASSERT_EQ(
                 slots().setPin(host->context(), host->settings(), text(kUserPin), 8, text("11223344"), 8, CKU_USER),
                 CKR_OK);
             EXPECT_EQ(login("11223344"), CKR_OK);
         }},
        {4, [&] {
             ASSERT_EQ(
                 slots().initUserPin(host->context(), host->login(0, kSoPin), host->settings(), text(kUserPin), 8),
                 CKR_OK);
             EXPECT_EQ(login(kUserPin), CKR_OK);
         }},
        {9, [&] {
             CK_ULONG count = 0;
             ASSERT_EQ(slots().getMechanismList(host->context(), nullptr, nullptr, &count), CKR_OK);
             std::vector<CK_MECHANISM_TYPE> list(count);
             ASSERT_EQ(slots().getMechanismList(host->context(), nullptr, list.data(), &count), CKR_OK);
             EXPECT_NE(std::ranges::find(list, CKM_GOSTR3410), list.end());
         }},
        {10, [&] {
             CK_MECHANISM_INFO info{};
             ASSERT_EQ(slots().getMechanismInfo(host->context(), nullptr, CKM_RSA_PKCS, &info), CKR_OK);
             EXPECT_EQ(info.ulMaxKeySize, 1024u);
         }},
        {72, [&] {
             CK_ULONG count = 0;
             ASSERT_EQ(slots().getMechanismsWithInfo(host->context(), nullptr, nullptr, &count), CKR_OK);
             std::vector<MechanismInfoEntry> entries(count);
             ASSERT_EQ(slots().getMechanismsWithInfo(host->context(), nullptr, entries.data(), &count), CKR_OK);
             EXPECT_NE(std::ranges::find(entries, CKM_RSA_PKCS, &MechanismInfoEntry::type), entries.end());
         }},
        {11, [&] {
             Template data = dataObject("listed", {1, 2, 3});
             ASSERT_EQ(create(data, dataHandle), CKR_OK);
             EXPECT_EQ(readAll(dataHandle)->get(CKA_VALUE), (Bytes{1, 2, 3}));
         }},
        {13, [&] {
             Bytes label;
             ASSERT_EQ(readValue(dataHandle, CKA_LABEL, label), CKR_OK);
             EXPECT_EQ(std::string(label.begin(), label.end()), "listed");
         }},
        {18, [&] {
             Template change;
             change.text(CKA_LABEL, "renamed");
             ASSERT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &dataHandle, change.data(),
                                             change.size()),
                       CKR_OK);
             EXPECT_EQ(readAll(dataHandle)->get(CKA_LABEL), (Bytes{'r', 'e', 'n', 'a', 'm', 'e', 'd'}));
         }},
        {17, [&] {
             CK_ULONG size = 0;
             ASSERT_EQ(slots().getObjectSize(host->context(), nullptr, nullptr, &dataHandle, &size), CKR_OK);
             EXPECT_EQ(size, 512u);
         }},
        {14, [&] {
             cursor.lastIndex = 9;
             ASSERT_EQ(slots().findObjectsInit(host->context(), nullptr, nullptr, 0, &cursor), CKR_OK);
             EXPECT_EQ(cursor.lastIndex, 0);
         }},
        {15, [&] {
             ObjectHandle found{};
             CK_OBJECT_CLASS objectClass = 0xFF;
             uint8_t isPrivate = 0xFF;
             ASSERT_EQ(slots().findNextObject(host->context(), user(), host->settings(), nullptr, 0, &cursor, &found,
                                              &objectClass, &isPrivate),
                       CKR_OK);
             EXPECT_TRUE(found.record == dataHandle.record && found.directoryLow == dataHandle.directoryLow);
             EXPECT_EQ(objectClass, CKO_DATA);
             EXPECT_EQ(isPrivate, 0);
         }},
        {62, [&] {
             FindCursor fresh{};
             CK_ATTRIBUTE* array = nullptr;
             CK_ULONG count = 0;
             ObjectHandle found{};
             CK_OBJECT_CLASS objectClass = 0xFF;
             uint8_t isPrivate = 0xFF;
             ASSERT_EQ(slots().findNextObjectAttributes(host->context(), user(), host->settings(), &fresh, &array,
                                                        &count, &found, &objectClass, &isPrivate),
                       CKR_OK);
             EXPECT_EQ(objectClass, CKO_DATA);
             EXPECT_GT(count, 0u);
             slots().releaseAttributes(array, count);  // 63 as well; checked below
         }},
        {65, [&] {
             CK_ATTRIBUTE* array = nullptr;
             CK_ULONG count = 0;
             ASSERT_EQ(slots().getDefaultAttributes(host->context(), nullptr, nullptr, &array, &count, CKO_DATA),
                       CKR_OK);
             ASSERT_EQ(count, 4u);
             EXPECT_EQ(array[3].type, CKA_LABEL);
             slots().releaseAttributes(array, count);
         }},
        {63, [&] {
             CK_ATTRIBUTE* array = nullptr;
             CK_ULONG count = 0;
             ASSERT_EQ(slots().getAllAttributes(host->context(), nullptr, host->settings(), &dataHandle, &array, &count,
                                                nullptr, nullptr),
                       CKR_ARGUMENTS_BAD);
             ASSERT_EQ(slots().getDefaultAttributes(host->context(), nullptr, nullptr, &array, &count, CKO_SECRET_KEY),
                       CKR_OK);
             slots().releaseAttributes(array, count);  // the sanitizer build finds what it does not free
         }},
        {61, [&] { EXPECT_EQ(slots().releaseBuffer(std::malloc(16)), CKR_OK); }},
        {66, [&] {
             CK_ULONG counter = 0xFFFFFFFF;
             ASSERT_EQ(slots().getChangeCounter(host->context(), nullptr, nullptr, &counter), CKR_OK);
             EXPECT_EQ(counter, changeCounter());
             EXPECT_NE(counter, 0xFFFFFFFFu);
         }},
        {16, [&] {
             ASSERT_EQ(destroy(dataHandle), CKR_OK);
             EXPECT_FALSE(readAll(dataHandle));
         }},
        {20, [&] {
             Template pub, priv;
             const CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
             ObjectSummary publicSummary{}, privateSummary{};
             ASSERT_EQ(slots().generateKeyPair(host->context(), user(), host->settings(), pub.data(), pub.size(),
                                               priv.data(), priv.size(), &mechanism, &publicKey, &privateKey,
                                               &publicSummary, &privateSummary),
                       CKR_OK);
             EXPECT_EQ(uint32_t{privateSummary.objectClass}, CKO_PRIVATE_KEY);
             EXPECT_TRUE(readAll(publicKey)->has(CKA_VALUE));
         }},
        {64, [&] {
             EXPECT_EQ(readAll(privateKey)->objectClass, CKO_PRIVATE_KEY);
         }},
        {23, [&] {
             const CK_MECHANISM mechanism{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
             ASSERT_EQ(slots().signInit(host->context(), nullptr, nullptr, &mechanism, &privateKey, &state), CKR_OK);
             EXPECT_EQ(state.digest.length, 9);  // the default digest parameter
         }},
        {27, [&] {
             const CK_MECHANISM mechanism{CKM_GOSTR3410, nullptr, 0};
             ASSERT_EQ(slots().signRecoverInit(host->context(), nullptr, nullptr, &mechanism, &privateKey, &state),
                       CKR_OK);
             EXPECT_EQ(state.digest.length, 0);
         }},
        {24, [&] {
             CK_ULONG length = signature.size();
             ASSERT_EQ(slots().sign(host->context(), user(), nullptr, hash.data(), 32, signature.data(), &length,
                                    &privateKey, &state, CKM_GOSTR3410),
                       CKR_OK);
             EXPECT_EQ(length, 64u);
         }},
        {28, [&] {
             Bytes again(64);
             CK_ULONG length = again.size();
             ASSERT_EQ(slots().signRecover(host->context(), user(), nullptr, hash.data(), 32, again.data(), &length,
                                           &privateKey, &state, CKM_GOSTR3410),
                       CKR_OK);
             EXPECT_NE(again, Bytes(64, 0));
         }},
        {37, [&] {
             const CK_MECHANISM mechanism{CKM_GOSTR3410, nullptr, 0};
             ASSERT_EQ(slots().verifyInit(host->context(), nullptr, nullptr, &mechanism, &publicKey, &state), CKR_OK);
         }},
        {38, [&] {
             EXPECT_EQ(slots().verify(host->context(), user(), nullptr, hash.data(), 32, signature.data(), 64,
                                      &publicKey, &state, CKM_GOSTR3410),
                       CKR_OK);
             Bytes forged = signature;
             forged[5] ^= 1;
             EXPECT_EQ(slots().verify(host->context(), user(), nullptr, hash.data(), 32, forged.data(), 64, &publicKey,
                                      &state, CKM_GOSTR3410),
                       CKR_SIGNATURE_INVALID);
         }},
        {39, [&] {
             // An RSA pair made by the card, signed with through slot 24.
             Template pub, priv;
             pub.number(CKA_MODULUS_BITS, 1024).flag(CKA_ENCRYPT, false).text(CKA_ID, "rsa");
             priv.flag(CKA_DECRYPT, false).text(CKA_ID, "rsa");
             const CK_MECHANISM generation{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
             ObjectSummary publicSummary{}, privateSummary{};
             ASSERT_EQ(slots().generateKeyPair(host->context(), user(), host->settings(), pub.data(), pub.size(),
                                               priv.data(), priv.size(), &generation, &rsaPublic, &rsaPrivate,
                                               &publicSummary, &privateSummary),
                       CKR_OK);
             const CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
             CK_ULONG length = rsaSignature.size();
             ASSERT_EQ(slots().sign(host->context(), user(), nullptr, hash.data(), 32, rsaSignature.data(), &length,
                                    &rsaPrivate, &state, CKM_RSA_PKCS),
                       CKR_OK);
             ASSERT_EQ(slots().verifyRecoverInit(host->context(), nullptr, nullptr, &mechanism, &rsaPublic, &state),
                       CKR_OK);
         }},
        {40, [&] {
             Bytes recovered(128);
             CK_ULONG length = recovered.size();
             ASSERT_EQ(slots().verifyRecover(host->context(), user(), nullptr, rsaSignature.data(), 128,
                                             recovered.data(), &length, &rsaPublic, &state, CKM_RSA_PKCS),
                       CKR_OK);
             recovered.resize(length);
             EXPECT_EQ(recovered, hash);
         }},
        {21, [&] {
             const CK_MECHANISM mechanism{CKM_GOSTR3411_12_256, nullptr, 0};
             std::ranges::fill(state.bytes, uint8_t{0xEE});
             ASSERT_EQ(slots().digestInit(host->context(), nullptr, nullptr, &mechanism, &state), CKR_OK);
             EXPECT_EQ(state.bytes[0], 0);
         }},
        {22, [&] {
             const Bytes abc{'a', 'b', 'c'};
             Bytes digest(32);
             CK_ULONG length = digest.size();
             ASSERT_EQ(slots().digest(host->context(), nullptr, nullptr, abc.data(), 3, digest.data(), &length, &state,
                                      CKM_GOSTR3411_12_256),
                       CKR_OK);
             EXPECT_EQ(digest[0], 0x4e);  // GOST R 34.11-2012 of "abc": 4e2919cf...
             EXPECT_EQ(digest[31], 0x81);
         }},
        {45, [&] {
             Bytes random(20, 0);
             ASSERT_EQ(slots().generateRandom(host->context(), nullptr, nullptr, random.data(), 20), CKR_OK);
             EXPECT_NE(random, Bytes(20, 0));
         }},
        {59, [&] {
             const Bytes data(12, 0x5A);
             ASSERT_EQ(slots().writeDataFile(host->context(), user(), 3, data.data(), 12), CKR_OK);
         }},
        {60, [&] {
             Bytes read(12);
             CK_ULONG length = 12;
             ASSERT_EQ(slots().readDataFile(host->context(), 3, read.data(), &length), CKR_OK);
             EXPECT_EQ(read, Bytes(12, 0x5A));
         }},
        {70, [&] {
             ObjectHandle session{};
             Template des3 = secretKey(CKK_DES3, Bytes(24, 0x33), false);
             ASSERT_EQ(create(des3, session), CKR_OK);
             ASSERT_EQ(host->sessionObjectCount(), 1u);
             Bytes handle{session.record, session.directoryHigh, session.directoryLow};
             HostHandleBytes item{};
             item.begin = handle.data();
             item.end = handle.data() + 3;
             HostHandleList list{};
             list.begin = &item;
             list.end = &item + 1;
             ASSERT_EQ(slots().releaseSessionObjects(host->contextPointer(), nullptr, &list), CKR_OK);
             CK_RV rv = CKR_OK;
             EXPECT_FALSE(readAll(session, &rv));
         }},
        {19, [&] {
             Template tmpl;
             tmpl.number(CKA_CLASS, CKO_SECRET_KEY).number(CKA_VALUE_LEN, 16).flag(CKA_TOKEN, true);
             const CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
             ObjectHandle made{};
             ObjectSummary summary{};
             ASSERT_EQ(slots().generateKey(host->context(), user(), host->settings(), tmpl.data(), tmpl.size(),
                                           &mechanism, &made, &summary),
                       CKR_OK);
             EXPECT_EQ(uint32_t{summary.objectClass}, CKO_SECRET_KEY);
             const Bytes keyType = readAll(made)->get(CKA_KEY_TYPE).value_or(Bytes{});
             ASSERT_EQ(keyType.size(), 4u);
             uint32_t type = 0;
             std::memcpy(&type, keyType.data(), 4);  // the host's byte order
             EXPECT_EQ(type, CKK_AES);
         }},
        {29, [&] {
             aesKey = mustCreate(secretKey(CKK_AES, aesValue));
             EXPECT_EQ(cipherOnce(slots().encryptInit, slots().encrypt, plain), aesEcb(aesValue, plain, true));
         }},
        {30, [&] { EXPECT_EQ(cipherOnce(slots().encryptInit, slots().encrypt, plain).size(), plain.size()); }},
        {31, [&] {
             EXPECT_EQ(cipherInParts(slots().encryptInit, slots().encryptUpdate, slots().encryptFinal, plain),
                       aesEcb(aesValue, plain, true));
         }},
        {32, [&] {
             EXPECT_EQ(cipherInParts(slots().encryptInit, slots().encryptUpdate, slots().encryptFinal, Bytes(16, 1)),
                       aesEcb(aesValue, Bytes(16, 1), true));
         }},
        {33, [&] {
             const Bytes enciphered = aesEcb(aesValue, plain, true);
             EXPECT_EQ(cipherOnce(slots().decryptInit, slots().decrypt, enciphered), plain);
         }},
        {34, [&] {
             EXPECT_EQ(cipherOnce(slots().decryptInit, slots().decrypt, plain), aesEcb(aesValue, plain, false));
         }},
        {35, [&] {
             const Bytes enciphered = aesEcb(aesValue, plain, true);
             EXPECT_EQ(cipherInParts(slots().decryptInit, slots().decryptUpdate, slots().decryptFinal, enciphered),
                       plain);
         }},
        {36, [&] {
             EXPECT_EQ(cipherInParts(slots().decryptInit, slots().decryptUpdate, slots().decryptFinal, Bytes(16, 1)),
                       aesEcb(aesValue, Bytes(16, 1), false));
         }},
        {41, [&] {
             // A GOST 28147-89 key wrapped under itself: 32 enciphered bytes and a 4-byte MAC.
             Template tmpl;
             tmpl.number(CKA_CLASS, CKO_SECRET_KEY).number(CKA_KEY_TYPE, CKK_GOST28147);
             tmpl.bytes(CKA_VALUE, Bytes(32, 0x47)).flag(CKA_EXTRACTABLE, true);
             gostKey = mustCreate(tmpl);
             const CK_MECHANISM mechanism{CKM_GOST28147_KEY_WRAP, nullptr, 0};
             CK_ULONG length = wrapping.size();
             ASSERT_EQ(slots().wrapKey(host->context(), user(), nullptr, &mechanism, &gostKey, &gostKey,
                                       wrapping.data(), &length),
                       CKR_OK);
             EXPECT_EQ(length, 36u);
             EXPECT_NE(wrapping, Bytes(36, 0));
         }},
        {42, [&] {
             Template tmpl;
             tmpl.number(CKA_CLASS, CKO_SECRET_KEY).text(CKA_LABEL, "unwrapped");
             const CK_MECHANISM mechanism{CKM_GOST28147_KEY_WRAP, nullptr, 0};
             ObjectSummary summary{};
             ASSERT_EQ(slots().unwrapKey(host->context(), user(), host->settings(), &mechanism, &gostKey,
                                         wrapping.data(), CK_ULONG(wrapping.size()), tmpl.data(), tmpl.size(),
                                         &wrapped, &summary),
                       CKR_OK);
             EXPECT_EQ(readAll(wrapped)->get(CKA_LABEL), (Bytes{'u', 'n', 'w', 'r', 'a', 'p', 'p', 'e', 'd'}));
         }},
        {47, [&] {
             const auto before = findAll().size();
             const std::string label = "imported";
             const Bytes id{'c', 'e', 'r', 't'};
             const Bytes& der = testKeyPair().certificate;
             ASSERT_EQ(slots().importCertificate(host->context(), user(), host->settings(), label.c_str(), id.data(),
                                                 CK_ULONG(id.size()), der.data(), CK_ULONG(der.size())),
                       CKR_OK);
             EXPECT_EQ(findAll().size(), before + 1);
         }},
        {3, [&] {
             const Initialised made = initialiseWith([](TestHost& fresh) {
                 return fresh.table()->initToken(fresh.context(), text(kSoPin), 8, text(kLabel));
             });
             EXPECT_EQ(made.label, kLabel);
             EXPECT_EQ(Bytes(made.settings.begin(), made.settings.begin() + 5), (Bytes{2, 1, 1, 3, 3}));
         }},
        {51, [&] {
             const Initialised made = initialiseWith([](TestHost& fresh) {
                 return fresh.table()->initTokenWithSettings(fresh.context(), text(kSoPin), 8, text(kLabel), 5, 2);
             });
             EXPECT_EQ(made.label, kLabel);
             EXPECT_EQ(Bytes(made.settings.begin(), made.settings.begin() + 5), (Bytes{2, 1, 1, 5, 2}));
             EXPECT_EQ(made.settings[10], 3);  // s8, the container count, as slot 3 sets it
         }},
        {52, [&] {
             const Initialised made = initialiseWith([](TestHost& fresh) {
                 return fresh.table()->initTokenFull(fresh.context(), text(kSoPin), 8, text(kLabel), 1, 4, 2, 0, 3, 0,
                                                     3, 0, 6, 0, 3, 0, 3, 0, 0);
             });
             EXPECT_EQ(made.label, kLabel);
             EXPECT_EQ(made.settings[3], 4);
             EXPECT_EQ(made.settings[10], 6);
         }},
    };
    // clang-format on

    std::set<std::size_t> called;
    for (const auto& [slot, run] : table) {
        SCOPED_TRACE(::testing::Message() << "slot " << slot);
        EXPECT_TRUE(called.insert(slot).second) << "called twice";
        run();
    }
    for (std::size_t slot = 0; slot < KORVA_SLOT_COUNT; ++slot) {
        EXPECT_NE(called.contains(slot), kNotHere.contains(slot)) << "slot " << slot;
    }
}

}  // namespace
}  // namespace korva::test
