// Slot 20's logic over a card that answers by rules: the commands sent for
// each family, the records written, and what the module does when the card
// answers badly. The virtual card covers the same ground end to end; here
// the card's answers can be anything.
#include "keys/generate_key_pair.h"
#include "keys/gost_key_pair.h"
#include "keys/rsa_key_pair.h"

#include "objects/attribute_record.h"
#include "tests/token/rule_card.h"

#include <korva/pkcs11_constants.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace korva::keys {
namespace {

using abi::CK_ATTRIBUTE;
using testing::RuleCard;
using Bytes = RuleCard::Bytes;

constexpr uint16_t kNotFound = 0x6A82;

Bytes directoryFcp(uint16_t id) {
    // Two records of 255 bytes.
    // clang-format off
    return {0x62, 0x10, 0x80, 0x02, 0x01, 0xFE, 0x82, 0x03, 0x02, 0xC1, 0xFF,
            0x83, 0x02, uint8_t(id >> 8), uint8_t(id), 0x8A, 0x01, 0x05};
    // clang-format on
}

Bytes rsaPublicKeyAnswer(uint8_t firstModulusByte) {
    Bytes answer = {0, 0, 0, 0, 0, 0x01, 0x00, 0x01};
    answer.resize(kRsaPublicKeyAnswer, 0x5A);
    answer[8] = firstModulusByte;
    return answer;
}

// A token with free records 1 in both key directories and every GOST key
// slot but `takenSlots` free. Rules added later by a test come after these,
// so tests put their own rules first through `card.on` before calling this.
void standardCard(RuleCard& card, bool gost2012 = true, unsigned takenSlots = 0) {
    Bytes capability(31, 0);
    capability[29] = gost2012 ? 0 : 1;
    Bytes information(127, 0);
    for (unsigned i = 0; i < takenSlots; ++i) information[47 + i] = 1;
    card.on({0x80, 0xFE, 0x00, 0x00}, {capability})
        .on({0x80, 0x78, 0x00, 0x00}, {{}, 0x6C7F})
        .on({0x00, 0xC0, 0x00, 0x00, 0x7F}, {information})
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x01}, {directoryFcp(0x5001)})
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x00}, {directoryFcp(0x5000)})
        .on({0x00, 0xB2, 0x01, 0x04}, {Bytes(255, 0)})
        .on({0x00, 0xB0, 0x00, 0x00, 0x0E}, {Bytes(14, 0)})
        .on({0x80, 0x76}, {{}, 0x6140})
        // Earlier RSA key files of the same number do not exist.
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x61, 0x01}, {{}, kNotFound}, 1)
        .on({0x00, 0xA4, 0x09, 0x00, 0x02, 0xE1, 0x01}, {{}, kNotFound}, 1)
        .on({0x00, 0x46, 0x01, 0x00, 0x00}, {rsaPublicKeyAnswer(0xC3)});
}

struct Outcome {
    CK_RV rv = 0xFFFFFFFF;
    abi::ObjectHandle publicHandle{}, privateHandle{};
    abi::ObjectSummary publicSummary{}, privateSummary{};
};

Outcome generate(RuleCard& card, uint32_t mechanismType, std::vector<CK_ATTRIBUTE> pub,
                 std::vector<CK_ATTRIBUTE> priv) {
    std::vector<uint8_t> settings(17, 3);
    abi::HostByteVector vector{};
    vector.begin = settings.data();
    vector.end = settings.data() + settings.size();
    const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
    Outcome out;
    const HostContext host = card.host();
    out.rv =
        generateKeyPair(host, nullptr, &vector, pub.data(), uint32_t(pub.size()), priv.data(), uint32_t(priv.size()),
                        &mechanism, &out.publicHandle, &out.privateHandle, &out.publicSummary, &out.privateSummary);
    return out;
}

std::vector<Bytes> sentWith(const RuleCard& card, const Bytes& prefix) { return card.commandsStartingWith(prefix); }

// The 255 record bytes of each UPDATE RECORD.
std::vector<Bytes> writtenRecords(const RuleCard& card) {
    std::vector<Bytes> records;
    for (const Bytes& command : sentWith(card, {0x00, 0xDC})) records.emplace_back(command.begin() + 5, command.end());
    return records;
}

Bytes attributeIn(const Bytes& record, uint32_t type) {
    const objects::RecordLookup found = objects::findInRecord(record, type);
    if (found.result != objects::LookupResult::Found) return {0xDE, 0xAD};
    return Bytes(found.value.begin(), found.value.end());
}

CK_ATTRIBUTE boolean(uint32_t type, uint8_t& value) { return {type, &value, 1}; }

// ---------------------------------------------------------------------------

TEST(GenerateKeyPair, RefusedRequestsLeaveTheCardUntouched) {
    uint32_t bits = 2048;
    CK_ATTRIBUTE rsaBits{abi::CKA_MODULUS_BITS, &bits, 4};
    Bytes unknownCurve = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x09};
    CK_ATTRIBUTE curve{abi::CKA_GOSTR3410_PARAMS, unknownCurve.data(), uint32_t(unknownCurve.size())};
    struct Case {
        std::string name;
        uint32_t mechanism;
        std::vector<CK_ATTRIBUTE> pub;
        CK_RV rv;
        size_t commands;  // a GOST request asks the card what it supports first
    };
    const Case cases[] = {
        {"unknown mechanism", 0x1201, {}, abi::CKR_MECHANISM_INVALID, 0},
        {"RSA without modulus size", abi::CKM_RSA_PKCS_KEY_PAIR_GEN, {}, abi::CKR_TEMPLATE_INCOMPLETE, 0},
        {"RSA of 2048 bits", abi::CKM_RSA_PKCS_KEY_PAIR_GEN, {rsaBits}, abi::CKR_ATTRIBUTE_VALUE_INVALID, 0},
        {"unknown curve", abi::CKM_GOSTR3410_KEY_PAIR_GEN, {curve}, abi::CKR_ATTRIBUTE_VALUE_INVALID, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RuleCard card;
        standardCard(card);
        EXPECT_EQ(generate(card, c.mechanism, c.pub, {}).rv, c.rv);
        EXPECT_EQ(card.sent().size(), c.commands);
    }
}

TEST(GenerateKeyPair, Gost2012KeyWithDefaultsOnTheLongForm) {
    RuleCard card;
    standardCard(card);
    const Outcome out = generate(card, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {});
    ASSERT_EQ(out.rv, abi::CKR_OK);

    // Curve code 2, P1 bit 10, the 2012 marker 80; key object F0 30, P2 30.
    const std::vector<Bytes> generation = sentWith(card, {0x80, 0x76});
    ASSERT_EQ(generation.size(), 1u);
    EXPECT_EQ(generation[0], (Bytes{0x80, 0x76, 0x92, 0x30, 0x04, 0xF0, 0x30, 0x07, 0x00}));

    const std::vector<Bytes> records = writtenRecords(card);
    ASSERT_EQ(records.size(), 2u);
    for (const Bytes& record : records) {
        EXPECT_EQ(attributeIn(record, abi::CKA_GOSTR3410_PARAMS),
                  Bytes(kCryptoProCurveA.begin(), kCryptoProCurveA.end()));
        EXPECT_EQ(attributeIn(record, abi::CKA_GOSTR3411_PARAMS), Bytes(kStreebog256.begin(), kStreebog256.end()));
        EXPECT_EQ(attributeIn(record, abi::CKA_KEY_TYPE), (Bytes{0, 0, 0, 0x30}));
        EXPECT_EQ(attributeIn(record, abi::CKA_VENDOR_KEY_REFERENCE), Bytes{0x30});
        EXPECT_EQ(attributeIn(record, abi::CKA_ID), Bytes{});
    }
    EXPECT_EQ(out.publicHandle.record, 1);
    EXPECT_EQ(out.publicHandle.directoryLow, 0x01);
    EXPECT_EQ(out.privateHandle.directoryLow, 0x00);
    EXPECT_EQ(uint32_t{out.publicSummary.objectClass}, abi::CKO_PUBLIC_KEY);
    EXPECT_EQ(uint32_t{out.privateSummary.objectClass}, abi::CKO_PRIVATE_KEY);

    // The counters: key containers, files and store changes, one public and
    // one private key more.
    const std::vector<Bytes> counters = sentWith(card, {0x00, 0xD6, 0x00, 0x00, 0x0E});
    ASSERT_EQ(counters.size(), 1u);
    EXPECT_EQ(Bytes(counters[0].begin() + 5, counters[0].end()), (Bytes{0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 1}));
}

TEST(GenerateKeyPair, GenerationCommandFollowsHashDeriveAndCardKind) {
    Bytes hash94 = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
    CK_ATTRIBUTE digest{abi::CKA_GOSTR3411_PARAMS, hash94.data(), uint32_t(hash94.size())};
    uint8_t yes = 1;
    struct Case {
        std::string name;
        bool gost2012;
        uint32_t mechanism;
        std::vector<CK_ATTRIBUTE> pub, priv;
        unsigned takenSlots;
        Bytes command;
    };
    // clang-format off
    const Case cases[] = {
        {"2001 key", true, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {digest}, {}, 0,
         {0x80, 0x76, 0x12, 0x30, 0x04, 0xF0, 0x30, 0x07, 0x00}},
        {"derive, third slot", true, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {boolean(abi::CKA_DERIVE, yes)}, 2,
         {0x80, 0x76, 0xB2, 0x32, 0x0A, 0xF0, 0x32, 0x07, 0x00, 0x01, 0x08, 0x05, 0x00, 0x00, 0x01}},
        {"512-bit key", true, abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, {}, {}, 0,
         {0x80, 0x76, 0x99, 0x30, 0x04, 0xF0, 0x30, 0x07, 0x00}},
        {"2001-only card", false, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {}, 0,
         {0x80, 0x76, 0x12, 0x30, 0x05, 0xF0, 0x30, 0x07, 0x00, 0x09}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RuleCard card;
        standardCard(card, c.gost2012, c.takenSlots);
        ASSERT_EQ(generate(card, c.mechanism, c.pub, c.priv).rv, abi::CKR_OK);
        const std::vector<Bytes> generation = sentWith(card, {0x80, 0x76});
        ASSERT_EQ(generation.size(), 1u);
        EXPECT_EQ(generation[0], c.command);
    }
}

TEST(GenerateKeyPair, NoRoomForTheKey) {
    {
        SCOPED_TRACE("512-bit key on a 2001-only card");
        RuleCard card;
        standardCard(card, false);
        EXPECT_EQ(generate(card, abi::CKM_GOSTR3410_512_KEY_PAIR_GEN, {}, {}).rv, abi::CKR_MECHANISM_INVALID);
        EXPECT_EQ(card.sent().size(), 1u);
    }
    {
        SCOPED_TRACE("every key slot taken");
        RuleCard card;
        standardCard(card, true, 32);
        EXPECT_EQ(generate(card, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {}).rv, abi::CKR_DEVICE_MEMORY);
        EXPECT_TRUE(sentWith(card, {0x80, 0x76}).empty());
    }
    {
        SCOPED_TRACE("card without memory for the key");
        RuleCard card;
        card.on({0x80, 0x76}, {{}, 0x6A84});
        standardCard(card);
        EXPECT_EQ(generate(card, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {}).rv, abi::CKR_DEVICE_MEMORY);
        EXPECT_TRUE(writtenRecords(card).empty());
    }
}

TEST(GenerateKeyPair, WrongGenerationAnswerStoresNothingAndFreesTheSlot) {
    for (const uint16_t status : {uint16_t(0x9000), uint16_t(0x6F00), uint16_t(0x6982)}) {
        SCOPED_TRACE(status);
        RuleCard card;
        card.on({0x80, 0x76}, {{}, status});
        standardCard(card);
        EXPECT_EQ(generate(card, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {}).rv, abi::CKR_FUNCTION_FAILED);
        EXPECT_TRUE(writtenRecords(card).empty());
        EXPECT_TRUE(sentWith(card, {0x00, 0xD6, 0x00, 0x00, 0x0E}).empty()) << "counters moved";
        // The slot's key goes back to the card: bit of key 0x30 in the bitmap.
        const std::vector<Bytes> freed = sentWith(card, {0x80, 0x74, 0x00, 0x00, 0x10});
        ASSERT_EQ(freed.size(), 1u);
        EXPECT_EQ(freed[0][5 + 0x2F / 8], 0x80 >> (0x2F % 8));
    }
}

TEST(GenerateKeyPair, FailedRecordWriteLeavesNoHalfPair) {
    RuleCard card;
    card.on({0x00, 0xDC}, {{}, 0x9000}, 1);  // the public record
    card.on({0x00, 0xDC}, {{}, 0x6581}, 1);  // the private record fails
    standardCard(card);
    EXPECT_EQ(generate(card, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {}).rv, abi::CKR_FUNCTION_FAILED);
    // Both records are written with zeros again, and the key slot is freed.
    const std::vector<Bytes> records = writtenRecords(card);
    ASSERT_EQ(records.size(), 4u);
    for (size_t i = 2; i < 4; ++i)
        EXPECT_TRUE(std::all_of(records[i].begin(), records[i].end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(sentWith(card, {0x80, 0x74}).size(), 1u);
    EXPECT_TRUE(sentWith(card, {0x00, 0xD6, 0x00, 0x00, 0x0E}).empty());
}

TEST(GenerateKeyPair, FailingCountersUpdateKeepsThePair) {
    RuleCard card;
    card.on({0x00, 0xD6, 0x00, 0x00, 0x0E}, {{}, 0x6581});
    standardCard(card);
    EXPECT_EQ(generate(card, abi::CKM_GOSTR3410_KEY_PAIR_GEN, {}, {}).rv, abi::CKR_FUNCTION_FAILED);
    EXPECT_EQ(writtenRecords(card).size(), 2u);
    EXPECT_TRUE(sentWith(card, {0x80, 0x74}).empty());
}

// ---------------------------------------------------------------------------

std::vector<CK_ATTRIBUTE> rsaPublic(uint32_t& bits, uint8_t& encrypt) {
    bits = 1024;
    return {{abi::CKA_MODULUS_BITS, &bits, 4}, boolean(abi::CKA_ENCRYPT, encrypt)};
}

TEST(GenerateKeyPair, RsaKeyThatMayNotDecryptIsMadeByTheCard) {
    RuleCard card;
    standardCard(card);
    uint32_t bits;
    uint8_t no = 0;
    const Outcome out =
        generate(card, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic(bits, no), {boolean(abi::CKA_DECRYPT, no)});
    ASSERT_EQ(out.rv, abi::CKR_OK);
    // Key object 61 01 with key reference 61, then the card's generator with
    // exponent 65537; no private exponent file.
    const std::vector<Bytes> created = sentWith(card, {0x00, 0xE0});
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(Bytes(created[0].begin() + 12, created[0].begin() + 14), (Bytes{0x61, 0x01}));
    EXPECT_EQ(sentWith(card, {0x00, 0x46, 0x02}),
              (std::vector<Bytes>{{0x00, 0x46, 0x02, 0x61, 0x08, 0xA6, 0x06, 0x94, 0x04, 0x00, 0x01, 0x00, 0x01}}));
    const std::vector<Bytes> records = writtenRecords(card);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(attributeIn(records[1], abi::CKA_MODULUS_BITS), (Bytes{0, 0, 0x04, 0x00}));
    EXPECT_EQ(attributeIn(records[0], abi::CKA_VENDOR_KEY_REFERENCE), (Bytes{0xDE, 0xAD}));
}

TEST(GenerateKeyPair, RsaPublicKeyAnswerMustBeWholeAndFull) {
    uint32_t bits;
    uint8_t no = 0;
    {
        SCOPED_TRACE("answer of the wrong length");
        RuleCard card;
        Bytes shortAnswer = rsaPublicKeyAnswer(0xC3);
        shortAnswer.pop_back();
        card.on({0x00, 0x46, 0x01, 0x00, 0x00}, {shortAnswer});
        standardCard(card);
        EXPECT_EQ(
            generate(card, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic(bits, no), {boolean(abi::CKA_DECRYPT, no)}).rv,
            abi::CKR_FUNCTION_FAILED);
        for (const Bytes& record : writtenRecords(card))
            EXPECT_TRUE(std::all_of(record.begin(), record.end(), [](uint8_t b) { return b == 0; }));
        // The key object made for the pair goes again.
        EXPECT_EQ(sentWith(card, {0x00, 0xE4}).back(), (Bytes{0x00, 0xE4, 0x00, 0x00, 0x02, 0x61, 0x01}));
    }
    {
        SCOPED_TRACE("modulus short of 1024 bits every time");
        RuleCard card;
        card.on({0x00, 0x46, 0x01, 0x00, 0x00}, {rsaPublicKeyAnswer(0x7F)});
        standardCard(card);
        EXPECT_EQ(
            generate(card, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic(bits, no), {boolean(abi::CKA_DECRYPT, no)}).rv,
            abi::CKR_DEVICE_ERROR);
        EXPECT_EQ(sentWith(card, {0x00, 0x46, 0x02}).size(), kRsaGenerationAttempts);
    }
    {
        SCOPED_TRACE("a short modulus once, then a full one");
        RuleCard card;
        card.on({0x00, 0x46, 0x01, 0x00, 0x00}, {rsaPublicKeyAnswer(0x00)}, 1);
        standardCard(card);
        EXPECT_EQ(
            generate(card, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic(bits, no), {boolean(abi::CKA_DECRYPT, no)}).rv,
            abi::CKR_OK);
        EXPECT_EQ(sentWith(card, {0x00, 0x46, 0x02}).size(), 2u);
    }
}

TEST(GenerateKeyPair, LoadedRsaKeyMustBeTheOneTheCardShows) {
    // The scripted card answers a fixed modulus: not the key just loaded.
    RuleCard card;
    standardCard(card);
    uint32_t bits;
    uint8_t yes = 1;
    EXPECT_EQ(generate(card, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic(bits, yes), {}).rv, abi::CKR_FUNCTION_FAILED);
    // Private exponent into E1 01, then the two-part load into reference 61.
    EXPECT_EQ(sentWith(card, {0x00, 0xD6, 0x00, 0x00, 0x80}).size(), 1u);
    EXPECT_EQ(sentWith(card, {0x10, 0x24, 0x01, 0x61}).size(), 1u);
    EXPECT_TRUE(sentWith(card, {0x00, 0x46, 0x02}).empty());
}

TEST(GenerateKeyPair, OldRsaKeyFilesNeedALogin) {
    RuleCard card;
    card.on({0x00, 0xA4, 0x09, 0x00, 0x02, 0x61, 0x01}, {{}, 0x9000}, 1);  // an earlier key file exists
    card.on({0x00, 0xE4}, {{}, 0x6982});
    standardCard(card);
    uint32_t bits;
    uint8_t no = 0;
    EXPECT_EQ(generate(card, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPublic(bits, no), {boolean(abi::CKA_DECRYPT, no)}).rv,
              abi::CKR_USER_NOT_LOGGED_IN);
}

}  // namespace
}  // namespace korva::keys
