// The object store at its limits and under damage: directories grown to
// their maximum record counts, a card without memory, a growth interrupted
// by the card or the link, a walk whose counts exceed the card's records,
// and templates and records that must not be trusted.
#include "tests/objects/store_fixture.h"

#include <functional>

namespace korva::test {
namespace {

using namespace abi;

// Reads a directory's FCP record count straight from the card.
int recordCount(sim::VirtualCard& card, const std::string& parent, const std::string& directory) {
    sendToCard(card, "00 A4 08 04 " + parent);
    const sim::Answer answer = sendToCard(card, "00 A4 00 04 02 " + directory);
    if (answer.statusWord() != 0x9000) return -1;
    // 62 L 80 02 size ...: the capacity over 255-byte records.
    for (size_t i = 2; i + 3 < answer.data.size(); ++i) {
        if (answer.data[i] == 0x80 && answer.data[i + 1] == 0x02)
            return (answer.data[i + 2] << 8 | answer.data[i + 3]) / 255;
    }
    return -1;
}

constexpr const char* kApplication = "04 A1 BC 7F 01";

TEST_F(StoreTest, DataDirectoryGrowsStepByStepToItsLimit) {
    useCard(0x30000);
    setGrowthStep(100);
    for (int i = 1; i <= 254; ++i) {
        ObjectHandle handle{};
        Template tmpl = dataObject("", {uint8_t(i)});
        ASSERT_EQ(create(tmpl, handle), CKR_OK) << i;
        ASSERT_EQ(handle.record, i);
    }
    EXPECT_EQ(recordCount(host->card(), kApplication, "50 07"), 254);  // 100, 200, then the last 54
    ObjectHandle handle{};
    Template oneMore = dataObject("", {0});
    EXPECT_EQ(create(oneMore, handle), CKR_DEVICE_MEMORY);
    EXPECT_EQ(counters()[9], 254);
    Bytes value;
    ASSERT_EQ(readValue({254, 0x50, 0x07}, CKA_VALUE, value), CKR_OK);
    EXPECT_EQ(value, Bytes{254});
}

TEST_F(StoreTest, KeyDirectoriesStopAtFifteenRecords) {
    setGrowthStep(9);
    for (int i = 1; i <= 15; ++i) {
        ObjectHandle handle{};
        Template key = secretKey(CKK_DES, Bytes(8, uint8_t(i)));
        ASSERT_EQ(create(key, handle), CKR_OK) << i;
        ASSERT_EQ(handle.record, i);
        EXPECT_EQ(recordCount(host->card(), kApplication, "50 03"), i <= 9 ? 9 : 15);
    }
    ObjectHandle handle{};
    Template sixteenth = secretKey(CKK_DES, Bytes(8, 16));
    EXPECT_EQ(create(sixteenth, handle), CKR_DEVICE_MEMORY);

    // The first public key's growth also grows the container map, keeping
    // what it held.
    mustCreate(publicKey("k"));
    sendToCard(host->card(), "00 A4 08 04 06 A1 BC 7F 01 70 01");
    const sim::Answer map = sendToCard(host->card(), "00 A4 00 04 02 70 FD");
    ASSERT_EQ(map.statusWord(), 0x9000);
    EXPECT_NE(hex(map.data).find("80 02 03 07"), std::string::npos) << hex(map.data);  // 9 * 86 + 1 = 775
}

TEST_F(StoreTest, KeyRecordsAboveThirtyTwoAreNeverHandedOut) {
    // A secret-key directory of 40 records written by other software, with
    // records 1 to 32 in use.
    sim::VirtualCard& card = host->card();
    sendToCard(card, "00 A4 08 04 02 05 1F");
    ASSERT_EQ(sendToCard(card, "00 20 00 07 08 34 37 31 30 32 39 35 38").statusWord(), 0x9000);
    sendToCard(card, "00 A4 08 04 04 A1 BC 7F 01");
    ASSERT_EQ(
        sendToCard(card, "00 E0 00 00 1A 62 18 80 02 27 D8 82 03 02 C1 FF 83 02 50 03 86 06 FF FF 12 00 12 12 8A 01 05")
            .statusWord(),
        0x9000);
    for (int n = 1; n <= 40; ++n) {
        Bytes apdu = fromHex("00 E2 00 00 FF");
        Bytes record(255, 0);
        if (n <= 32) {
            const Bytes label = fromHex("00 00 00 03 01 41");  // CKA_LABEL "A"
            std::copy(label.begin(), label.end(), record.begin());
        }
        apdu.insert(apdu.end(), record.begin(), record.end());
        ASSERT_EQ(sendToCard(card, apdu).statusWord(), 0x9000);
    }
    const std::string before = card.dumpTree();
    ObjectHandle handle{};
    Template key = secretKey(CKK_DES, Bytes(8, 1));
    EXPECT_EQ(create(key, handle), CKR_DEVICE_MEMORY);
    EXPECT_EQ(card.dumpTree(), before);
    host.reset();  // the hand-made records have no bodies: not a consistent store
}

TEST_F(StoreTest, CardWithoutMemoryReportsDeviceMemory) {
    // Fill the card with data bodies until nothing more fits.
    CK_RV rv = CKR_OK;
    int created = 0;
    while (rv == CKR_OK && created < 100) {
        ObjectHandle handle{};
        Template big = dataObject("", Bytes(20000, 0xEE));
        rv = create(big, handle);
        if (rv == CKR_OK) ++created;
    }
    EXPECT_EQ(rv, CKR_DEVICE_MEMORY);
    EXPECT_GT(created, 0);
    // Smaller objects still fit where the directory has free records.
    ObjectHandle handle{};
    Template small = dataObject("", {1});
    EXPECT_EQ(create(small, handle), CKR_OK);
}

// The application subdirectory's FCP with the free memory the card reports
// (A5 { 82 04 nn nn nn nn }) replaced by `free`.
Bytes applicationFcpReporting(sim::VirtualCard& card, uint32_t free) {
    Bytes fcp = sendToCard(card, std::string("00 A4 08 00 ") + kApplication).data;
    const Bytes proprietary{0x82, 0x04};
    auto at = std::search(fcp.begin(), fcp.end(), proprietary.begin(), proprietary.end());
    EXPECT_NE(at, fcp.end());
    if (at != fcp.end()) {
        for (int i = 0; i < 4; ++i) at[2 + i] = uint8_t(free >> (24 - 8 * i));
    }
    return fcp;
}

// A directory grows (here: is first made) by the growth step of records of
// 255 bytes each; free memory of exactly that much is enough, one byte less
// is not.
TEST_F(StoreTest, GrowthNeedsFreeMemoryOfExactlyItsCost) {
    const uint32_t cost = uint32_t(settings[6]) * 255;  // settings byte 6: the data directory's growth step
    ASSERT_GT(cost, 0u);
    for (const uint32_t free : {cost - 1, cost}) {
        SCOPED_TRACE(free);
        const Bytes fcp = applicationFcpReporting(host->card(), free);
        host->failOn(std::string("00 A4 08 00 ") + kApplication, Fault::rewrite(fcp), 0);
        ObjectHandle handle{};
        Template data = dataObject("", {1});
        EXPECT_EQ(create(data, handle), free < cost ? CKR_DEVICE_MEMORY : CKR_OK);
        host->clearFaults();
    }
    EXPECT_EQ(recordCount(host->card(), kApplication, "50 07"), settings[6]);
}

// The certificates' directory lives in the certificate subdirectory, but
// the room to grow it is what the application subdirectory reports.
TEST_F(StoreTest, CertificateGrowthNeedsTheApplicationSubdirectorysFreeMemory) {
    const uint32_t cost = uint32_t(settings[8]) * 255;  // settings byte 8: the certificates' growth step
    ASSERT_GT(cost, 0u);
    host->card().reportFreeMemory(0x7001, 0);
    for (const uint32_t free : {cost - 1, cost}) {
        SCOPED_TRACE(free);
        host->card().reportFreeMemory(0x7F01, free);
        ObjectHandle handle{};
        Template own = certificate("own");
        EXPECT_EQ(create(own, handle), free < cost ? CKR_DEVICE_MEMORY : CKR_OK);
    }
}

// A growth the card refuses for lack of memory leaves the directory as it
// was; an interrupted one is put back from the records kept in memory.
TEST_F(StoreTest, InterruptedGrowthRestoresTheDirectory) {
    std::vector<ObjectHandle> handles;
    for (uint8_t i = 1; i <= 3; ++i) handles.push_back(mustCreate(dataObject("kept", {i})));
    ASSERT_EQ(recordCount(host->card(), kApplication, "50 07"), 3);

    auto expectKept = [&] {
        EXPECT_EQ(recordCount(host->card(), kApplication, "50 07"), 3);
        for (uint8_t i = 1; i <= 3; ++i) {
            Bytes value;
            ASSERT_EQ(readValue(handles[i - 1], CKA_VALUE, value), CKR_OK);
            EXPECT_EQ(value, Bytes{i});
        }
        expectConsistent();
    };

    ObjectHandle handle{};
    Template fourth = dataObject("new", {4});
    host->failOn("00 E0 00 00 1A", Fault::status(0x6A, 0x84));
    EXPECT_EQ(create(fourth, handle), CKR_DEVICE_MEMORY);
    expectKept();

    host->failOn("00 E0 00 00 1A", Fault::transport());
    EXPECT_EQ(create(fourth, handle), CKR_FUNCTION_FAILED);
    expectKept();

    host->failOn("00 E2", Fault::status(0x6F, 0x00));
    EXPECT_EQ(create(fourth, handle), CKR_FUNCTION_FAILED);
    expectKept();

    host->clearFaults();
    ASSERT_EQ(create(fourth, handle), CKR_OK);
    EXPECT_EQ(handleText(handle), "04 50 07");
}

// The container map grows before the public-key directory: when it cannot,
// the directory keeps its size and the map its entries.
TEST_F(StoreTest, ContainerMapThatCannotGrowKeepsThePublicKeysAsTheyWere) {
    for (const char* id : {"a", "b", "c"}) mustCreate(publicKey(id));
    ObjectHandle handle{};
    Template fourth = publicKey("d");
    host->failOn("00 E0 00 00 18 62 16 80 02 02 05", Fault::status(0x6A, 0x84));  // 70 FD of 6 * 86 + 1 bytes
    EXPECT_EQ(create(fourth, handle), CKR_DEVICE_MEMORY);
    EXPECT_EQ(recordCount(host->card(), kApplication, "50 01"), 3);
    expectConsistent();
    host->clearFaults();
    ASSERT_EQ(create(fourth, handle), CKR_OK);
    EXPECT_EQ(handleText(handle), "04 50 01");
}

// Only the card's "no memory" for a larger file means no room. A folder or
// bookkeeping file the card cannot find, and a repair that fails (whatever
// the card answers to it), are failures: a damaged token must never read as
// a full one, nor as a success.
TEST_F(StoreTest, DamageWhileMakingRoomIsAFailureNotAFullCard) {
    struct Case {
        const char* what;
        int publicKeys;  // created first, with the data objects
        int dataObjects;
        std::vector<std::pair<std::string, uint16_t>> faults;  // command prefix, status word
        std::function<CK_RV()> act;
        bool damagesCard;
    };
    const auto createOne = [this](Template (*make)()) {
        return [this, make] {
            ObjectHandle handle{};
            Template tmpl = make();
            return create(tmpl, handle);
        };
    };
    // clang-format off
    const Case cases[] = {
        {"70 FD missing when the public keys grow", 3, 0, {{"00 A4 09 00 02 70 FD", 0x6A82}},
         createOne([] { return publicKey("d"); }), false},
        {"70 01 missing under the certificate directory", 0, 0, {{"00 A4 08 00 06 A1 BC 7F 01 70 01", 0x6A82}},
         createOne([] { return certificate(""); }), false},
        {"70 00 missing when a certificate pairs", 1, 0, {{"00 A4 09 00 02 70 00", 0x6A82}},
         createOne([] { return certificate("a"); }), false},
        {"70 00 missing when a certificate goes", 0, 0, {},
         [this] {
             const ObjectHandle handle = mustCreate(certificate(""));
             host->failOn("00 A4 09 00 02 70 00", Fault::status(0x6A, 0x82));
             return destroy(handle);
         },
         false},
        {"70 FD cannot be made again at its old size", 3, 0,
         {{"00 E0 00 00 18 62 16 80 02 02 05", 0x6A84}, {"00 E0 00 00 18 62 16 80 02 01 03", 0x6A84}},
         createOne([] { return publicKey("d"); }), true},
        {"a directory cannot be made again at its old size", 0, 3,
         {{"00 E0 00 00 1A 62 18 80 02 05 FA", 0x6A84}, {"00 E0 00 00 1A 62 18 80 02 02 FD", 0x6A84}},
         createOne([] { return dataObject("fourth", {4}); }), true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        useCard();
        for (int i = 0; i < c.publicKeys; ++i) mustCreate(publicKey(std::string(1, char('a' + i))));
        for (int i = 0; i < c.dataObjects; ++i) mustCreate(dataObject("kept", {uint8_t(i)}));
        for (const auto& [prefix, sw] : c.faults) host->failOn(prefix, Fault::status(uint8_t(sw >> 8), uint8_t(sw)));
        EXPECT_EQ(c.act(), CKR_FUNCTION_FAILED);
        host->clearFaults();
        if (!c.damagesCard) expectConsistent();
    }
    host.reset();  // the last card lost its directory with the link's help
}

// Pairing a new certificate with its key: a public-key directory that
// cannot be selected holds no key, and the certificate is stored unpaired;
// a record missing among those the directory's FCP counts is damage, and the
// missing record might have been the key.
TEST_F(StoreTest, CertificatePairingTellsAnUnreachableKeyDirectoryFromADamagedOne) {
    mustCreate(publicKey("a"));
    mustCreate(publicKey("b"));
    ObjectHandle handle{};
    Template paired = certificate("b");
    host->failOn("00 A4 09 00 02 50 01", Fault::status(0x6F, 0x00));
    ASSERT_EQ(create(paired, handle), CKR_OK);
    ASSERT_EQ(destroy(handle), CKR_OK);  // it has no name map entry to remove
    host->failOn("00 B2 02", Fault::status(0x6A, 0x83));
    EXPECT_EQ(create(paired, handle), CKR_FUNCTION_FAILED);
}

TEST_F(StoreTest, WalkStopsAtTheDirectorysRecordCount) {
    mustCreate(dataObject("a", {1}));
    mustCreate(dataObject("b", {2}));
    // The counters file claims 50 data objects.
    sendToCard(host->card(), "00 A4 08 04 04 A1 BC 7F 01");
    sendToCard(host->card(), "00 A4 00 04 02 70 FE");
    ASSERT_EQ(sendToCard(host->card(), "00 D6 00 09 01 32").statusWord(), 0x9000);
    host->clearExchanges();
    EXPECT_EQ(findAll().size(), 2u);
    // Records 1 to 3 exist (growth step 3); none past them was asked for.
    for (const Exchange& exchange : host->exchanges()) {
        if (exchange.command.size() > 2 && exchange.command[1] == 0xB2) {
            EXPECT_LE(exchange.command[2], 3);
        }
    }
    sendToCard(host->card(), "00 A4 08 04 04 A1 BC 7F 01");
    sendToCard(host->card(), "00 A4 00 04 02 70 FE");
    ASSERT_EQ(sendToCard(host->card(), "00 D6 00 09 01 02").statusWord(), 0x9000);
}

TEST_F(StoreTest, TemplatesThatCannotBeStoredAreRefusedBeforeTheCard) {
    ObjectHandle handle{};
    host->clearExchanges();

    Template thirtyOne;
    thirtyOne.number(CKA_CLASS, CKO_DATA);
    for (int i = 0; i < 30; ++i) thirtyOne.text(CKA_LABEL, "x");
    EXPECT_EQ(create(thirtyOne, handle), CKR_VENDOR_ATTRIBUTE_LIST_FULL);

    Template longLabel = dataObject(std::string(251, 'L'), {1});
    EXPECT_EQ(create(longLabel, handle), CKR_ATTRIBUTE_VALUE_INVALID);

    Template nullValue = dataObject("", {1});
    nullValue.raw(CKA_APPLICATION, nullptr, 40);
    EXPECT_EQ(create(nullValue, handle), CKR_ATTRIBUTE_VALUE_INVALID);

    Template noClass;
    noClass.text(CKA_LABEL, "x");
    EXPECT_EQ(create(noClass, handle), CKR_TEMPLATE_INCOMPLETE);
    Template nullClass;
    nullClass.raw(CKA_CLASS, nullptr, 4);
    EXPECT_EQ(create(nullClass, handle), CKR_ATTRIBUTE_VALUE_INVALID);
    Template badClass;
    badClass.number(CKA_CLASS, 7);
    EXPECT_EQ(create(badClass, handle), CKR_ATTRIBUTE_TYPE_INVALID);
    Template sessionData = dataObject("", {1});
    sessionData.flag(CKA_TOKEN, false);  // the first CKA_TOKEN (true) decides
    Template notToken;
    notToken.number(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, false);
    EXPECT_EQ(create(notToken, handle), CKR_ATTRIBUTE_VALUE_INVALID);
    Template wideFlag;
    wideFlag.number(CKA_CLASS, CKO_DATA).bytes(CKA_TOKEN, {1, 0});
    EXPECT_EQ(create(wideFlag, handle), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(host->exchanges().empty());

    // Bodies that no file offset can address are refused, not truncated.
    Template huge = dataObject("", Bytes(0x8000, 1));
    EXPECT_EQ(create(huge, handle), CKR_ATTRIBUTE_VALUE_INVALID);
    // A value whose length is "unavailable" is no value: an empty body.
    Template unavailable;
    unavailable.number(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, true);
    Bytes some{1, 2};
    unavailable.raw(CKA_VALUE, some.data(), 0xFFFFFFFF);
    ASSERT_EQ(create(unavailable, handle), CKR_OK);
    Bytes value{9};
    ASSERT_EQ(readValue(handle, CKA_VALUE, value), CKR_OK);
    EXPECT_TRUE(value.empty());

    // Updates check their values before the card is touched, too.
    host->clearExchanges();
    Template badUpdate;
    badUpdate.raw(CKA_LABEL, nullptr, 3);
    EXPECT_EQ(
        slots().setAttributes(host->context(), user(), host->settings(), &handle, badUpdate.data(), badUpdate.size()),
        CKR_ATTRIBUTE_VALUE_INVALID);
    Template endlessValue;
    endlessValue.raw(CKA_VALUE, some.data(), 0xFFFFFFFF);
    EXPECT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &handle, endlessValue.data(),
                                    endlessValue.size()),
              CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_TRUE(host->exchanges().empty());
}

// A CKA_ID of length 0xFFFFFFFF says "no value": an identifier given after
// it is the one stored, and the empty identifier the token adds otherwise
// needs room of its own.
TEST_F(StoreTest, IdentifierAfterANoValueEntryIsKept) {
    Template hidden = certificate("");
    hidden.raw(CKA_ID, nullptr, 0xFFFFFFFF).text(CKA_ID, "real");
    const ObjectHandle handle = mustCreate(hidden);
    Bytes id;
    ASSERT_EQ(readValue(handle, CKA_ID, id), CKR_OK);
    EXPECT_EQ(id, (Bytes{'r', 'e', 'a', 'l'}));

    Template full = certificate("");
    full.raw(CKA_ID, nullptr, 0xFFFFFFFF);
    while (full.size() < 30) full.text(CKA_LABEL, "x");
    ObjectHandle unused{};
    EXPECT_EQ(create(full, unused), CKR_ARGUMENTS_BAD);
}

// The host's pointers and settings are checked at the slot boundary, in the
// order that decides the code: what a slot can answer without the settings
// (a bad template, a session object) it answers without them.
TEST_F(StoreTest, HostArgumentsAreCheckedInTheOrderThatDecidesTheCode) {
    const ObjectHandle data = mustCreate(dataObject("d", {1}));
    const ObjectHandle session{1, 0xFF, 0xFF};
    Template label;
    label.text(CKA_LABEL, "x");
    Template valid = dataObject("v", {2});
    ObjectHandle handle{};
    ObjectSummary summary{};
    FindCursor cursor{};
    CK_ATTRIBUTE* array = nullptr;
    CK_ULONG count = 0;
    CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    const ModuleFunctionTable& t = slots();
    HostContext* hostPointer = host->contextPointer();
    const HostContext context = host->context();
    HostByteVector* given = host->settings();
    host->clearExchanges();
    const std::pair<CK_RV, CK_RV> cases[] = {
        {t.createObject(hostPointer, user(), given, valid.data(), valid.size(), nullptr, &summary), CKR_ARGUMENTS_BAD},
        {t.createObject(hostPointer, user(), given, nullptr, 1, &handle, &summary), CKR_ARGUMENTS_BAD},
        {t.createObject(hostPointer, user(), nullptr, label.data(), label.size(), &handle, &summary),
         CKR_TEMPLATE_INCOMPLETE},
        {t.createObject(hostPointer, user(), nullptr, valid.data(), valid.size(), &handle, &summary),
         CKR_ARGUMENTS_BAD},
        {t.getAttributeValue(context, user(), nullptr, &data, label.data(), label.size()), CKR_ARGUMENTS_BAD},
        {t.getAttributeValue(context, user(), given, nullptr, label.data(), label.size()), CKR_ARGUMENTS_BAD},
        {t.findObjectsInit(context, nullptr, nullptr, 0, nullptr), CKR_ARGUMENTS_BAD},
        {t.findNextObject(context, user(), given, nullptr, 0, &cursor, &handle, nullptr, &isPrivate),
         CKR_ARGUMENTS_BAD},
        {t.findNextObject(context, user(), nullptr, nullptr, 0, &cursor, &handle, &objectClass, &isPrivate),
         CKR_ARGUMENTS_BAD},
        {t.destroyObject(context, user(), given, nullptr), CKR_GENERAL_ERROR},
        {t.destroyObject(context, user(), nullptr, &data), CKR_ARGUMENTS_BAD},
        {t.destroyObject(context, user(), nullptr, &session), CKR_FUNCTION_FAILED},  // no session table
        {t.setAttributes(context, user(), nullptr, &session, label.data(), label.size()), CKR_ATTRIBUTE_TYPE_INVALID},
        {t.setAttributes(context, user(), nullptr, &data, label.data(), label.size()), CKR_ARGUMENTS_BAD},
        {t.setAttributes(context, user(), given, &data, nullptr, 1), CKR_ARGUMENTS_BAD},
        {t.findNextObjectAttributes(context, user(), nullptr, &cursor, &array, &count, &handle, &objectClass,
                                    &isPrivate),
         CKR_ARGUMENTS_BAD},
        {t.getAllAttributes(context, nullptr, given, &data, &array, nullptr, &objectClass, &isPrivate),
         CKR_ARGUMENTS_BAD},
        {t.getAllAttributes(context, nullptr, nullptr, &data, &array, &count, &objectClass, &isPrivate),
         CKR_ARGUMENTS_BAD},
        {t.getAllAttributes(context, nullptr, nullptr, &session, &array, &count, &objectClass, &isPrivate),
         CKR_FUNCTION_FAILED},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    EXPECT_TRUE(host->exchanges().empty());
}

TEST_F(StoreTest, DamagedRecordsAndAnswersFailCleanly) {
    const ObjectHandle handle = mustCreate(dataObject("victim", {1, 2}));
    mustCreate(dataObject("other", {3}));

    // A record answered short, or long, is refused.
    Bytes value;
    host->failOn("00 B2 01", Fault::truncate(3));
    EXPECT_EQ(readValue(handle, CKA_LABEL, value), CKR_GENERAL_ERROR);
    host->failOn("00 B2 01", Fault::reportLength(400));
    EXPECT_EQ(readValue(handle, CKA_LABEL, value), CKR_GENERAL_ERROR);
    CK_RV rv = CKR_OK;
    host->failOn("00 B2 01", Fault::overlong(Bytes(10, 0xAB)), 0);
    EXPECT_FALSE(readAll(handle, &rv));
    EXPECT_EQ(rv, CKR_FUNCTION_FAILED);
    host->clearFaults();

    // A record whose entry claims more bytes than there are.
    sim::VirtualCard& card = host->card();
    sendToCard(card, "00 A4 08 04 04 A1 BC 7F 01");
    sendToCard(card, "00 A4 00 04 02 50 07");
    Bytes apdu = fromHex("00 DC 01 04 FF");
    Bytes record(255, 0x41);
    const Bytes damaged = fromHex("00 00 00 01 01 01 00 00 00 03 FF");  // CKA_TOKEN, then a 255-byte CKA_LABEL
    std::copy(damaged.begin(), damaged.end(), record.begin());
    apdu.insert(apdu.end(), record.begin(), record.end());
    ASSERT_EQ(sendToCard(card, apdu).statusWord(), 0x9000);
    EXPECT_EQ(readValue(handle, CKA_LABEL, value), CKR_FUNCTION_FAILED);
    EXPECT_FALSE(readAll(handle, &rv));
    EXPECT_EQ(rv, CKR_FUNCTION_FAILED);
    Template label;
    label.text(CKA_LABEL, "x");
    EXPECT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &handle, label.data(), label.size()),
              CKR_FUNCTION_FAILED);
    // The walk reports the damage rather than skipping it.
    abi::FindCursor cursor{};
    ASSERT_EQ(slots().findObjectsInit(host->context(), nullptr, nullptr, 0, &cursor), CKR_OK);
    CK_ATTRIBUTE* array = nullptr;
    CK_ULONG count = 0;
    ObjectHandle found{};
    CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    EXPECT_EQ(slots().findNextObjectAttributes(host->context(), user(), host->settings(), &cursor, &array, &count,
                                               &found, &objectClass, &isPrivate),
              CKR_FUNCTION_FAILED);
    // Destroying the damaged object frees its record.
    EXPECT_EQ(destroy(handle), CKR_OK);
}

// A certificate body is read by what the decoder accepts, bytes after the
// DER included (creation stores the value unparsed). A body that does not
// decode fails the read of that object; the walk reports it and, its cursor
// being past the object, goes on to the next one when asked again.
TEST_F(StoreTest, CertificateBodiesAreReadAsTheDecoderReadsThem) {
    Bytes padded = testKeyPair().certificate;
    padded.insert(padded.end(), {0x00, 0x00, 0x01});
    Template value;
    value.number(CKA_CLASS, CKO_CERTIFICATE).flag(CKA_TOKEN, true).bytes(CKA_VALUE, padded);
    const ObjectHandle padCertificate = mustCreate(value);
    Template garbage;
    garbage.number(CKA_CLASS, CKO_CERTIFICATE).flag(CKA_TOKEN, true).bytes(CKA_VALUE, {0x30, 0x03, 1, 2, 3});
    const ObjectHandle broken = mustCreate(garbage);
    mustCreate(dataObject("after", {1}));

    Bytes read;
    ASSERT_EQ(readValue(padCertificate, CKA_SUBJECT, read), CKR_OK);
    EXPECT_EQ(read, testKeyPair().subject);
    ASSERT_EQ(readValue(padCertificate, CKA_VALUE, read), CKR_OK);
    EXPECT_EQ(read, padded);
    CK_RV rv = CKR_OK;
    EXPECT_TRUE(readAll(padCertificate, &rv));

    EXPECT_EQ(readValue(broken, CKA_SUBJECT, read), CKR_FUNCTION_FAILED);
    ASSERT_EQ(readValue(broken, CKA_LABEL, read), CKR_OK);  // the record itself is fine
    EXPECT_FALSE(readAll(broken, &rv));
    EXPECT_EQ(rv, CKR_FUNCTION_FAILED);

    abi::FindCursor cursor{};
    ASSERT_EQ(slots().findObjectsInit(host->context(), nullptr, nullptr, 0, &cursor), CKR_OK);
    std::vector<std::string> walk;
    for (int guard = 0; guard < 10; ++guard) {
        CK_ATTRIBUTE* array = nullptr;
        CK_ULONG count = 0;
        ObjectHandle found{};
        CK_OBJECT_CLASS objectClass = 0;
        uint8_t isPrivate = 0;
        rv = slots().findNextObjectAttributes(host->context(), user(), host->settings(), &cursor, &array, &count,
                                              &found, &objectClass, &isPrivate);
        if (rv == 8) break;
        walk.push_back(rv == CKR_OK ? handleText(found) : "failed");
        if (rv == CKR_OK) slots().releaseAttributes(array, count);
    }
    EXPECT_EQ(walk, (std::vector<std::string>{"01 50 04", "failed", "01 50 07"}));
}

TEST_F(StoreTest, HandlesOfNothingAreRefused) {
    Bytes value;
    EXPECT_EQ(readValue({5, 0x50, 0x07}, CKA_LABEL, value), CKR_GENERAL_ERROR);  // no directory yet
    mustCreate(dataObject("one", {1}));
    EXPECT_EQ(readValue({2, 0x50, 0x07}, CKA_LABEL, value), CKR_OBJECT_HANDLE_INVALID);  // a free record
    EXPECT_EQ(readValue({9, 0x50, 0x07}, CKA_LABEL, value), CKR_OBJECT_HANDLE_INVALID);  // past the end
    EXPECT_EQ(readValue({1, 0x12, 0x34}, CKA_LABEL, value), CKR_FUNCTION_FAILED);
    EXPECT_EQ(readValue({1, 0xFF, 0xFF}, CKA_LABEL, value), CKR_FUNCTION_FAILED);
    CK_RV rv = CKR_OK;
    EXPECT_FALSE(readAll({1, 0xFF, 0xFF}, &rv));
    EXPECT_EQ(rv, CKR_FUNCTION_FAILED);
    EXPECT_EQ(destroy({1, 0xFF, 0xFF}), CKR_FUNCTION_FAILED);
    for (const ObjectHandle handle : {ObjectHandle{1, 0xFF, 0xFF}, ObjectHandle{1, 0x12, 0x34}}) {
        EXPECT_EQ(slots().setAttributes(host->context(), user(), host->settings(), &handle, nullptr, 0),
                  CKR_ATTRIBUTE_TYPE_INVALID);
    }
}

// Storing a private key makes its public key's key file again with both
// halves. When that fails part-way, the public key keeps a key file that
// holds its own modulus.
TEST_F(StoreTest, PrivateKeyThatCannotBeStoredLeavesThePublicKeyItsKey) {
    struct Case {
        const char* what;
        const char* command;
        Fault fault;
        CK_RV rv;
    };
    const Case cases[] = {
        {"the new key file is refused", "00 E0 00 00 32", Fault::status(0x6A, 0x84), CKR_DEVICE_MEMORY},
        {"the key's last part is lost", "00 24 01", Fault::transport(), CKR_FUNCTION_FAILED},
        {"the delete's answer is spoiled", "00 E4 00 00 02 61", Fault::reportLength(4096), CKR_FUNCTION_FAILED},
    };
    for (const Case& c : cases) {
        const ObjectHandle pub = mustCreate(publicKey(c.what));
        host->failOn(c.command, c.fault);
        ObjectHandle handle{};
        Template priv = privateKey(c.what);
        EXPECT_EQ(create(priv, handle, user()), c.rv) << c.what;
        host->clearFaults();
        Bytes modulus;
        EXPECT_EQ(readValue(pub, CKA_MODULUS, modulus), CKR_OK) << c.what;
        EXPECT_EQ(modulus, testKeyPair().modulus) << c.what;
        expectConsistent();
    }
}

}  // namespace
}  // namespace korva::test
