// Objects of every class through the loaded module on an initialised
// virtual token: created, found, read, changed and destroyed, with the
// counters, the container map and the certificate name map kept in step.
#include "tests/objects/store_fixture.h"

#include <algorithm>

namespace korva::test {
namespace {

using namespace abi;

const Bytes kDes8(8, 0x11);
const Bytes kDes16(16, 0x22);
const Bytes kGostKey(32, 0x33);

bool sameHandle(const ObjectHandle& a, const ObjectHandle& b) {
    return a.record == b.record && a.directoryHigh == b.directoryHigh && a.directoryLow == b.directoryLow;
}

const FoundObject* findHandle(const std::vector<FoundObject>& objects, const ObjectHandle& handle) {
    const auto found =
        std::ranges::find_if(objects, [&](const FoundObject& o) { return sameHandle(o.handle, handle); });
    return found == objects.end() ? nullptr : &*found;
}

TEST_F(StoreTest, DataObjectIsCreatedFoundReadUpdatedAndDestroyed) {
    Template tmpl = dataObject("notes", {1, 2, 3});
    ObjectSummary summary{};
    ObjectHandle handle{};
    ASSERT_EQ(slots().createObject(host->contextPointer(), user(), host->settings(), tmpl.data(), tmpl.size(), &handle,
                                   &summary),
              CKR_OK);
    EXPECT_EQ(handleText(handle), "01 50 07");
    EXPECT_EQ(summary.objectClass, CKO_DATA);

    const auto objects = findAll();
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].objectClass, CKO_DATA);
    EXPECT_EQ(objects[0].get(CKA_VALUE), (Bytes{1, 2, 3}));
    EXPECT_EQ(objects[0].get(CKA_LABEL), (Bytes{'n', 'o', 't', 'e', 's'}));
    EXPECT_EQ(objects[0].get(CKA_MODIFIABLE), Bytes{1});  // completed with its default

    // A longer value recreates the body; the label is rewritten in place.
    const Bytes longValue(2000, 0x5A);
    Template change;
    change.text(CKA_LABEL, "NOTES").bytes(CKA_VALUE, longValue);
    ASSERT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &handle, change.data(), change.size()),
              CKR_OK);
    Bytes value;
    ASSERT_EQ(readValue(handle, CKA_VALUE, value), CKR_OK);
    EXPECT_EQ(value, longValue);
    ASSERT_EQ(readValue(handle, CKA_LABEL, value), CKR_OK);
    EXPECT_EQ(value, (Bytes{'N', 'O', 'T', 'E', 'S'}));

    // A value that the grown body holds keeps the body: shorter reads back.
    Template shorter;
    shorter.bytes(CKA_VALUE, {9});
    ASSERT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &handle, shorter.data(), shorter.size()),
              CKR_OK);
    ASSERT_EQ(readValue(handle, CKA_VALUE, value), CKR_OK);
    EXPECT_EQ(value, Bytes{9});

    ASSERT_EQ(destroy(handle), CKR_OK);
    EXPECT_TRUE(findAll().empty());
    EXPECT_EQ(counters()[9], 0);
}

TEST_F(StoreTest, UpdatesRefuseWhatTheClassCannotChange) {
    ObjectHandle handle = mustCreate(dataObject("fixed", {1}));
    Template tokenFlag;
    tokenFlag.flag(CKA_TOKEN, false);
    host->clearExchanges();
    EXPECT_EQ(
        slots().setAttributes(host->context(), user(), host->settings(), &handle, tokenFlag.data(), tokenFlag.size()),
        CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_TRUE(host->exchanges().empty());

    Template readOnly = dataObject("ro", {1});
    readOnly.flag(CKA_MODIFIABLE, false);
    const ObjectHandle fixed = mustCreate(readOnly);
    Template value;
    value.bytes(CKA_VALUE, {2});
    EXPECT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &fixed, value.data(), value.size()),
              CKR_ATTRIBUTE_READ_ONLY);
}

TEST_F(StoreTest, KeyPairAndCertificateShareContainerAndNameMap) {
    const uint32_t before = changeCounter();
    const ObjectHandle pub = mustCreate(publicKey("alpha"));
    EXPECT_EQ(handleText(pub), "01 50 01");
    const ObjectHandle cert = mustCreate(certificate("alpha"));
    EXPECT_EQ(handleText(cert), "01 50 04");
    const ObjectHandle priv = mustCreate(privateKey("alpha"));
    EXPECT_EQ(handleText(priv), "01 50 00");
    EXPECT_EQ(changeCounter(), before + 3);
    expectConsistent();  // container entry 0 "alpha", name map "kxc00"

    // The certificate's names come from its DER encoding.
    Bytes value;
    ASSERT_EQ(readValue(cert, CKA_SUBJECT, value), CKR_OK);
    EXPECT_EQ(value, testKeyPair().subject);
    ASSERT_EQ(readValue(cert, CKA_ISSUER, value), CKR_OK);
    EXPECT_EQ(value, testKeyPair().subject);
    ASSERT_EQ(readValue(cert, CKA_SERIAL_NUMBER, value), CKR_OK);
    EXPECT_EQ(value, testKeyPair().serialNumber);

    // Both halves read the modulus back from the card's key object.
    ASSERT_EQ(readValue(pub, CKA_MODULUS, value), CKR_OK);
    EXPECT_EQ(value, testKeyPair().modulus);
    ASSERT_EQ(readValue(priv, CKA_MODULUS, value), CKR_OK);
    EXPECT_EQ(value, testKeyPair().modulus);
    ASSERT_EQ(readValue(pub, CKA_PUBLIC_EXPONENT, value), CKR_OK);
    EXPECT_EQ(value.size(), 8u);
    ASSERT_EQ(readValue(pub, CKA_MODULUS_BITS, value), CKR_OK);
    EXPECT_EQ(value, (Bytes{0x00, 0x04, 0x00, 0x00}));  // 1024, native order
    EXPECT_EQ(readValue(priv, CKA_PRIME_1, value), CKR_ATTRIBUTE_SENSITIVE);

    const auto objects = findAll();
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0].objectClass, CKO_PRIVATE_KEY);  // walk order: 50 00, 50 01, ..., 50 04
    EXPECT_EQ(objects[1].objectClass, CKO_PUBLIC_KEY);
    EXPECT_EQ(objects[2].objectClass, CKO_CERTIFICATE);
    EXPECT_EQ(objects[2].get(CKA_VALUE), testKeyPair().certificate);

    // A new CKA_ID renames the container.
    Template rename;
    rename.text(CKA_ID, "omega");
    ASSERT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &pub, rename.data(), rename.size()),
              CKR_OK);
    ASSERT_EQ(readValue(pub, CKA_ID, value), CKR_OK);
    EXPECT_EQ(value, (Bytes{'o', 'm', 'e', 'g', 'a'}));
    // The certificate and private key keep "alpha": give them the same name.
    ASSERT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &cert, rename.data(), rename.size()),
              CKR_OK);
    ASSERT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &priv, rename.data(), rename.size()),
              CKR_OK);
    expectConsistent();

    // Destroying the private key takes the key pair's files; the public key's
    // record stays and reads without a modulus.
    ASSERT_EQ(destroy(priv), CKR_OK);
    ASSERT_EQ(readValue(pub, CKA_MODULUS, value), CKR_OK);
    EXPECT_TRUE(value.empty());
    ASSERT_EQ(destroy(cert), CKR_OK);
    ASSERT_EQ(destroy(pub), CKR_OK);
    EXPECT_EQ(counters()[10] + counters()[12] + counters()[13], 0);
}

TEST_F(StoreTest, CertificateWithoutMatchingKeyGetsNoNameAndEmptyId) {
    mustCreate(publicKey(""));  // an empty CKA_ID names no container to match
    const ObjectHandle cert = mustCreate(certificate(""));
    Bytes id{1};
    ASSERT_EQ(readValue(cert, CKA_ID, id), CKR_OK);
    EXPECT_TRUE(id.empty());
    mustCreate(certificate("nobody"));
    mustCreate(publicKey("signer", false));
    mustCreate(certificate("signer"));  // a signature key: "ksc00"
}

TEST_F(StoreTest, CertificateDirectoryMayLiveInTheApplicationSubdirectory) {
    settings[0] = 1;
    host->setSettings(Bytes(settings.begin(), settings.end()));
    mustCreate(publicKey("beta"));
    const ObjectHandle cert = mustCreate(certificate("beta"));
    Bytes value;
    ASSERT_EQ(readValue(cert, CKA_VALUE, value), CKR_OK);
    EXPECT_EQ(value, testKeyPair().certificate);
    EXPECT_EQ(findAll().size(), 2u);
    expectConsistent();
    ASSERT_EQ(destroy(cert), CKR_OK);
}

TEST_F(StoreTest, ContainerMapKeepsItsEntriesWhenPublicKeysGrowTheirDirectory) {
    for (const char* id : {"k0", "k1", "k2", "k3", "k4"}) mustCreate(publicKey(id, id[1] % 2 == 0));
    expectConsistent();  // entries 0 to 2 written before the growth, 3 and 4 after
    ASSERT_EQ(destroy({2, 0x50, 0x01}), CKR_OK);
    EXPECT_EQ(handleText(mustCreate(publicKey("again"))), "02 50 01");
}

TEST_F(StoreTest, SecretKeysOfEveryTypeLiveInKeyObjectsOrFiles) {
    const ObjectHandle des = mustCreate(secretKey(CKK_DES, kDes8));
    const ObjectHandle des2 = mustCreate(secretKey(CKK_DES2, kDes16));
    for (size_t length : {16, 24, 32}) mustCreate(secretKey(CKK_AES, Bytes(length, 0x44)));
    Template gost = secretKey(CKK_GOST28147, kGostKey, std::nullopt);
    gost.flag(CKA_EXTRACTABLE, true).flag(CKA_SENSITIVE, false);
    const ObjectHandle gostKey = mustCreate(gost);
    EXPECT_EQ(handleText(des), "01 50 03");
    EXPECT_EQ(handleText(des2), "02 50 03");
    EXPECT_EQ(handleText(gostKey), "06 50 03");

    Bytes value;
    ASSERT_EQ(readValue(gostKey, CKA_VALUE, value), CKR_OK);
    EXPECT_EQ(value, kGostKey);
    ASSERT_EQ(readValue(gostKey, CKA_GOST28147_PARAMS, value), CKR_OK);
    EXPECT_EQ(value.size(), 9u);
    // Sensitive by default: the value is not shown.
    EXPECT_EQ(readValue(des, CKA_VALUE, value), CKR_ATTRIBUTE_SENSITIVE);
    ASSERT_EQ(readValue(des, CKA_LOCAL, value), CKR_OK);
    EXPECT_EQ(value, Bytes{0});

    EXPECT_EQ(findAll().size(), 6u);
    EXPECT_EQ(counters()[11], 6);
    ASSERT_EQ(destroy(des2), CKR_OK);
    EXPECT_EQ(counters()[11], 5);
    // The freed record is the next key's.
    EXPECT_EQ(handleText(mustCreate(secretKey(CKK_DES2, kDes16))), "02 50 03");
}

TEST_F(StoreTest, SecretKeyTemplatesAreCheckedByType) {
    ObjectHandle handle{};
    Template wrongLength = secretKey(CKK_DES, Bytes(7, 1));
    EXPECT_EQ(create(wrongLength, handle), CKR_TEMPLATE_INCONSISTENT);
    Template tokenDes3 = secretKey(CKK_DES3, Bytes(24, 1));
    EXPECT_EQ(create(tokenDes3, handle), CKR_ATTRIBUTE_VALUE_INVALID);
    Template tokenGost = secretKey(CKK_GOST28147, kGostKey, true);
    EXPECT_EQ(create(tokenGost, handle), CKR_ATTRIBUTE_VALUE_INVALID);
    Template aes = secretKey(CKK_AES, Bytes(16, 1));
    aes.number(CKA_VALUE_LEN, 32);
    EXPECT_EQ(create(aes, handle), CKR_TEMPLATE_INCONSISTENT);
    Template noType;
    noType.number(CKA_CLASS, CKO_SECRET_KEY).bytes(CKA_VALUE, kDes8);
    EXPECT_EQ(create(noType, handle), CKR_TEMPLATE_INCOMPLETE);
    Template pubWithBits = publicKey("x");
    pubWithBits.number(CKA_MODULUS_BITS, 1024);
    EXPECT_EQ(create(pubWithBits, handle), CKR_ATTRIBUTE_TYPE_INVALID);
    Template shortModulus = publicKey("x");
    shortModulus.bytes(CKA_CLASS, {});  // a second class entry is ignored; the first decides
    EXPECT_EQ(create(shortModulus, handle), CKR_OK);
    Template badExponent;
    badExponent.number(CKA_CLASS, CKO_PUBLIC_KEY).flag(CKA_TOKEN, true).number(CKA_KEY_TYPE, CKK_RSA);
    badExponent.bytes(CKA_MODULUS, testKeyPair().modulus).bytes(CKA_PUBLIC_EXPONENT, {0x05});
    EXPECT_EQ(create(badExponent, handle), CKR_ATTRIBUTE_VALUE_INVALID);
    Template orphan = privateKey("no such public key");
    EXPECT_EQ(create(orphan, handle), CKR_FUNCTION_FAILED);
    Template withoutId;
    withoutId.number(CKA_CLASS, CKO_PRIVATE_KEY).flag(CKA_TOKEN, true).number(CKA_KEY_TYPE, CKK_RSA);
    withoutId.bytes(CKA_PRIVATE_EXPONENT, testKeyPair().privateExponent);
    EXPECT_EQ(create(withoutId, handle), CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST_F(StoreTest, SessionTripleDesKeysStayInTheHostTable) {
    host->clearExchanges();
    Template session = secretKey(CKK_DES3, Bytes(24, 0x66), false);
    ObjectHandle first{};
    ASSERT_EQ(create(session, first, nobody()), CKR_OK);
    EXPECT_EQ(handleText(first), "01 FF FF");
    ObjectHandle second{};
    ASSERT_EQ(create(session, second, nobody()), CKR_OK);
    EXPECT_EQ(handleText(second), "02 FF FF");
    EXPECT_EQ(host->sessionObjectCount(), 2u);

    const auto read = readAll(second);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->objectClass, CKO_SECRET_KEY);
    EXPECT_EQ(read->get(CKA_VALUE), Bytes(24, 0x66));
    EXPECT_EQ(findAll(nobody()).size(), 2u);

    ASSERT_EQ(destroy(first, nobody()), CKR_OK);
    EXPECT_EQ(findAll(nobody()).size(), 1u);  // a destroyed entry is not shown
    ObjectHandle reused{};
    ASSERT_EQ(create(session, reused, nobody()), CKR_OK);
    EXPECT_EQ(handleText(reused), "01 FF FF");

    // Slot 70 releases the handles it is given that name session objects.
    Bytes handles[2] = {{1, 0xFF, 0xFF}, {1, 0x50, 0x07}};
    HostHandleBytes items[2]{};
    for (int i = 0; i < 2; ++i) {
        items[i].begin = handles[i].data();
        items[i].end = handles[i].data() + 3;
    }
    HostHandleList list{};
    list.begin = items;
    list.end = items + 2;
    ASSERT_EQ(slots().releaseSessionObjects(host->contextPointer(), nullptr, &list), CKR_OK);
    EXPECT_EQ(findAll(nobody()).size(), 1u);
    CK_RV rv = CKR_OK;
    EXPECT_FALSE(readAll(first, &rv));
    EXPECT_EQ(rv, CKR_FUNCTION_FAILED);
}

TEST_F(StoreTest, UserLoginDestroysTransientSecretKeys) {
    const ObjectHandle kept = mustCreate(secretKey(CKK_GOST28147, kGostKey, std::nullopt));
    mustCreate(secretKey(CKK_GOST28147, kGostKey, false));
    mustCreate(secretKey(CKK_AES, Bytes(16, 7), false));
    mustCreate(secretKey(CKK_AES, Bytes(16, 8), true));
    ASSERT_EQ(counters()[11], 4);

    // The security officer's login leaves them; the user's removes the two
    // stored with CKA_TOKEN false.
    ASSERT_EQ(slots().login(host->context(), host->settings(), reinterpret_cast<const uint8_t*>("87654321"), 8, 0),
              CKR_OK);
    EXPECT_EQ(counters()[11], 4);
    ASSERT_EQ(slots().login(host->context(), host->settings(), reinterpret_cast<const uint8_t*>(kUserPin), 8, 1),
              CKR_OK);
    EXPECT_EQ(counters()[11], 2);
    const auto objects = findAll();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_TRUE(sameHandle(objects[0].handle, kept));

    // The user session set-up after a login cleans up the same way.
    mustCreate(secretKey(CKK_DES2, kDes16, false));
    ASSERT_EQ(counters()[11], 3);
    ASSERT_EQ(slots().openUserSession(host->contextPointer(), user()), CKR_OK);
    EXPECT_EQ(counters()[11], 2);
}

TEST_F(StoreTest, PrivateObjectsAreHiddenWithoutTheUserPin) {
    const ObjectHandle secret = mustCreate(dataObject("private", {4, 5, 6}, true));
    const ObjectHandle open = mustCreate(dataObject("public", {7}));
    logOut();

    // Enumeration shows the private object, but not its value.
    const auto objects = findAll(nobody());
    ASSERT_EQ(objects.size(), 2u);
    const FoundObject* hidden = findHandle(objects, secret);
    ASSERT_NE(hidden, nullptr);
    EXPECT_EQ(hidden->isPrivate, 1);
    EXPECT_FALSE(hidden->has(CKA_VALUE));
    EXPECT_TRUE(findHandle(objects, open)->has(CKA_VALUE));

    Bytes value;
    EXPECT_EQ(readValue(secret, CKA_LABEL, value, host->login(0, "87654321")), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(readValue(secret, CKA_LABEL, value, nobody()), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(readValue(secret, CKA_VALUE, value), CKR_OK);
    EXPECT_EQ(value, (Bytes{4, 5, 6}));

    // Slot 15 steps over what the caller may not see.
    logOut();
    FindCursor cursor{};
    ASSERT_EQ(slots().findObjectsInit(host->context(), nullptr, nullptr, 0, &cursor), CKR_OK);
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    ObjectHandle handle{};
    CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    ASSERT_EQ(slots().findNextObject(host->context(), nobody(), host->settings(), &label, 1, &cursor, &handle,
                                     &objectClass, &isPrivate),
              CKR_OK);
    EXPECT_TRUE(sameHandle(handle, open));
    EXPECT_EQ(slots().findNextObject(host->context(), nobody(), host->settings(), &label, 1, &cursor, &handle,
                                     &objectClass, &isPrivate),
              8u);

    // A search started at a class's directory presents the PIN as well.
    logOut();
    Template dataOnly;
    dataOnly.number(CKA_CLASS, CKO_DATA);
    const auto withPin = findAll(user(), &dataOnly);
    ASSERT_EQ(withPin.size(), 2u);
    EXPECT_EQ(findHandle(withPin, secret)->get(CKA_VALUE), (Bytes{4, 5, 6}));

    // A private object cannot be created by the security officer.
    Template more = dataObject("more", {1}, true);
    EXPECT_EQ(create(more, handle, host->login(0, "87654321")), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(StoreTest, SearchStartsAtTheTemplatesClassAndReportsDefaults) {
    mustCreate(dataObject("d", {1}));
    mustCreate(secretKey(CKK_DES, kDes8));
    Template secretOnly;
    secretOnly.number(CKA_CLASS, CKO_SECRET_KEY);
    FindCursor cursor{};
    ASSERT_EQ(slots().findObjectsInit(host->context(), nullptr, secretOnly.data(), secretOnly.size(), &cursor), CKR_OK);
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&cursor), reinterpret_cast<uint8_t*>(&cursor) + 4),
              (Bytes{1, 0, 0x50, 0x03}));
    // The walk goes on from there through the later directories.
    EXPECT_EQ(findAll(nullptr, &secretOnly).size(), 2u);
    Template unknown;
    unknown.number(CKA_CLASS, 9);
    EXPECT_EQ(slots().findObjectsInit(host->context(), nullptr, unknown.data(), unknown.size(), &cursor),
              CKR_ATTRIBUTE_VALUE_INVALID);

    CK_ATTRIBUTE* array = nullptr;
    CK_ULONG count = 0;
    ASSERT_EQ(slots().getDefaultAttributes(host->context(), nullptr, nullptr, &array, &count, CKO_PRIVATE_KEY), CKR_OK);
    EXPECT_EQ(count, 14u);
    EXPECT_EQ(array[13].type, CKA_LABEL);
    EXPECT_EQ(array[13].ulValueLen, 0u);
    slots().releaseAttributes(array, count);

    const ObjectHandle any{1, 0x50, 0x07};
    CK_ULONG size = 0;
    EXPECT_EQ(slots().getObjectSize(host->context(), nullptr, nullptr, &any, &size), CKR_OK);
    EXPECT_EQ(size, 512u);
    EXPECT_EQ(slots().getObjectSize(host->context(), nullptr, nullptr, nullptr, &size), CKR_ARGUMENTS_BAD);
}

TEST_F(StoreTest, ChangeCounterFollowsEveryChangeOfTheObjectSet) {
    const uint32_t start = changeCounter();
    const ObjectHandle handle = mustCreate(dataObject("once", {1}));
    mustCreate(secretKey(CKK_DES, kDes8));
    EXPECT_EQ(changeCounter(), start + 2);  // hosts cache the object set under this counter
    Template label;
    label.text(CKA_LABEL, "twice");
    ASSERT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &handle, label.data(), label.size()),
              CKR_OK);
    const uint32_t counter = changeCounter();
    EXPECT_EQ(counter, start + 3);
    EXPECT_EQ(counters()[2], counters()[4]);  // key-container and file changes move together
    ASSERT_EQ(destroy(handle), CKR_OK);
    EXPECT_EQ(changeCounter(), counter + 1);
    ASSERT_EQ(destroy(handle), CKR_OK);
    EXPECT_EQ(changeCounter(), counter + 1);
    EXPECT_EQ(counters()[9], 0);
    EXPECT_EQ(slots().destroyObject(host->context(), user(), host->settings(), nullptr), CKR_GENERAL_ERROR);
}

}  // namespace
}  // namespace korva::test
