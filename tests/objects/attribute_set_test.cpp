#include "objects/attribute_set.h"

#include "tests/objects/attribute_helpers.h"
#include "objects/attribute_kinds.h"
#include "objects/template_record.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korva::objects {
namespace {

using namespace abi;
using namespace test;

TEST(AttributeSetLoad, CopiesValuesAndKeepsNullOrUnavailableAsNoValue) {
    Bytes label = bytesOf("lbl");
    std::vector<CK_ATTRIBUTE> host = {attr(CKA_LABEL, label), attr(CKA_ID, nullptr, 5),
                                      attr(CKA_VALUE, label.data(), 0xFFFFFFFF)};
    AttributeSet set;
    ASSERT_TRUE(set.load(host));
    label[0] = 'X';  // the set owns its copy
    EXPECT_EQ(set.find(CKA_LABEL)->bytes()[0], 'l');
    EXPECT_FALSE(set.find(CKA_ID)->hasValue);
    EXPECT_EQ(set.find(CKA_ID)->length, 5u);
    EXPECT_FALSE(set.find(CKA_VALUE)->hasValue);
    EXPECT_EQ(set.find(CKA_VALUE)->length, 0xFFFFFFFFu);
}

TEST(AttributeSetComplete, AppendsTheMissingStandardAttributesInOrder) {
    AttributeSet set;
    ASSERT_TRUE(set.addBoolean(CKA_SIGN, false));
    ASSERT_TRUE(set.complete());
    ASSERT_EQ(set.size(), 20u);
    EXPECT_EQ(set.entries()[0].type, CKA_SIGN);
    EXPECT_EQ(set.entries()[0].bytes()[0], 0);  // kept, not defaulted
    EXPECT_EQ(set.entries()[1].type, CKA_PRIVATE);
    EXPECT_EQ(set.find(CKA_MODIFIABLE)->bytes()[0], 1);
    EXPECT_EQ(set.find(CKA_ALWAYS_AUTHENTICATE)->bytes()[0], 0);
    EXPECT_EQ(set.entries()[19].type, CKA_ID);
    EXPECT_EQ(set.entries()[19].length, 0u);
    ASSERT_TRUE(set.complete());
    EXPECT_EQ(set.size(), 20u);
}

TEST(AttributeExport, GivesTheHostMallocdCopiesThatReleaseFrees) {
    AttributeSet set;
    ASSERT_TRUE(set.addBytes(CKA_LABEL, bytesOf("name")));
    ASSERT_TRUE(set.addBytes(CKA_ID, {}));
    ASSERT_TRUE(set.add(CKA_VALUE, nullptr, 0xFFFFFFFF));
    ASSERT_TRUE(set.addNumber(CKA_KEY_TYPE, CKK_AES));
    CK_ATTRIBUTE* array = nullptr;
    uint32_t count = 0;
    ASSERT_TRUE(exportAttributes(set, array, count));
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(std::memcmp(array[0].pValue, "name", 4), 0);
    // Empty values go out as null, so the release has nothing to miss.
    EXPECT_EQ(array[1].pValue, nullptr);
    EXPECT_EQ(array[1].ulValueLen, 0u);
    EXPECT_EQ(array[2].pValue, nullptr);
    EXPECT_EQ(array[2].ulValueLen, 0xFFFFFFFFu);
    EXPECT_EQ(*static_cast<uint32_t*>(array[3].pValue), CKK_AES);
    releaseAttributeArray(array, count);  // the leak checker proves every buffer went

    AttributeSet empty;
    array = reinterpret_cast<CK_ATTRIBUTE*>(1);
    ASSERT_TRUE(exportAttributes(empty, array, count));
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(count, 0u);
    releaseAttributeArray(nullptr, 3);
}

TEST(AttributeExport, GivesEachClassItsDefaultList) {
    CK_ATTRIBUTE* array = nullptr;
    uint32_t count = 0;
    ASSERT_TRUE(exportDefaultAttributes(CKO_PRIVATE_KEY, array, count));
    ASSERT_EQ(count, 14u);
    EXPECT_EQ(array[5].type, CKA_SENSITIVE);
    EXPECT_EQ(*static_cast<uint8_t*>(array[5].pValue), 1);
    EXPECT_EQ(*static_cast<uint8_t*>(array[12].pValue), 0);  // always-authenticate
    EXPECT_EQ(array[13].type, CKA_LABEL);
    EXPECT_EQ(array[13].pValue, nullptr);
    EXPECT_EQ(array[13].ulValueLen, 0u);
    releaseAttributeArray(array, count);

    ASSERT_TRUE(exportDefaultAttributes(9, array, count));
    EXPECT_EQ(count, 1u);
    releaseAttributeArray(array, count);
}

TEST(AttributeKinds, OnlyTheUpdatableTypesOfEachDirectoryMayChange) {
    EXPECT_TRUE(isUpdatableAttribute(0x5007, CKA_VALUE));
    EXPECT_TRUE(isUpdatableAttribute(0x5004, CKA_SERIAL_NUMBER));
    EXPECT_TRUE(isUpdatableAttribute(0x5000, CKA_LABEL));
    EXPECT_FALSE(isUpdatableAttribute(0x5001, CKA_VALUE));
    EXPECT_FALSE(isUpdatableAttribute(0x5003, CKA_TOKEN));
    EXPECT_FALSE(isUpdatableAttribute(0xFFFF, CKA_LABEL));
}

// A key record as the store writes it: sensitive, a label, a key type.
Bytes sampleRecord() {
    return concat({entry(CKA_SENSITIVE, {1}), entry(CKA_LABEL, bytesOf("my key")), entry(CKA_KEY_TYPE, {0, 0, 0, 0x1F}),
                   entry(CKA_START_DATE, bytesOf("20260101")), Bytes(40, 0)});
}

TEST(FillTemplate, AnswersStoredValuesDefaultsAndLengthQueries) {
    const Bytes record = sampleRecord();
    uint32_t objectClass = 0, keyType = 0;
    uint8_t sensitive = 9, derive = 9, modifiable = 9;
    Bytes label(16, 0), date(8, 0);
    std::vector<CK_ATTRIBUTE> tmpl = {
        attr(CKA_CLASS, objectClass),     attr(CKA_KEY_TYPE, keyType),
        attr(CKA_SENSITIVE, sensitive),   attr(CKA_LABEL, label),
        attr(CKA_START_DATE, date),       attr(CKA_DERIVE, derive),
        attr(CKA_MODIFIABLE, modifiable), attr(CKA_ID, nullptr, 77),
        attr(CKA_LABEL, nullptr, 0),      attr(CKA_ALWAYS_AUTHENTICATE, nullptr, 0),
        attr(CKA_CLASS, nullptr, 0),
    };
    ASSERT_EQ(fillTemplate(tmpl, CKO_SECRET_KEY, record, {}), FillResult::Ok);
    EXPECT_EQ(objectClass, CKO_SECRET_KEY);
    EXPECT_EQ(keyType, CKK_AES);  // big-endian in the record, native here
    EXPECT_EQ(sensitive, 1);
    EXPECT_EQ(tmpl[3].ulValueLen, 6u);
    EXPECT_EQ(std::string(label.begin(), label.begin() + 6), "my key");
    EXPECT_EQ(date, bytesOf("20260101"));
    EXPECT_EQ(derive, 0);               // default false
    EXPECT_EQ(modifiable, 1);           // default true
    EXPECT_EQ(tmpl[7].ulValueLen, 0u);  // CKA_ID: empty default
    EXPECT_EQ(tmpl[8].ulValueLen, 6u);  // length query
    EXPECT_EQ(tmpl[9].ulValueLen, 1u);  // always-authenticate reads as false
    EXPECT_EQ(tmpl[10].ulValueLen, 4u);
}

TEST(FillTemplate, TheLastFailureWinsAndEveryFailedEntryIsUnavailable) {
    const Bytes record = sampleRecord();
    uint8_t small[2];
    uint8_t token = 7;
    std::vector<CK_ATTRIBUTE> tmpl = {attr(CKA_TOKEN, &token, 1), attr(CKA_LABEL, small, 2),
                                      attr(CKA_SENSITIVE, small, 1), attr(0x7777, small, 2)};
    EXPECT_EQ(fillTemplate(tmpl, CKO_SECRET_KEY, record, {}), FillResult::TypeInvalid);
    EXPECT_EQ(tmpl[0].ulValueLen, 1u);
    EXPECT_EQ(tmpl[1].ulValueLen, 0xFFFFFFFFu);
    EXPECT_EQ(tmpl[2].ulValueLen, 1u);
    EXPECT_EQ(tmpl[3].ulValueLen, 0xFFFFFFFFu);

    std::swap(tmpl[1], tmpl[3]);
    tmpl[1].ulValueLen = 2;
    tmpl[3].ulValueLen = 2;
    EXPECT_EQ(fillTemplate(tmpl, CKO_SECRET_KEY, record, {}), FillResult::BufferTooSmall);

    // Class buffers and boolean defaults that cannot hold their value.
    uint8_t tiny[3];
    std::vector<CK_ATTRIBUTE> more = {attr(CKA_CLASS, tiny, 3), attr(CKA_DERIVE, tiny, 0)};
    EXPECT_EQ(fillTemplate(more, CKO_DATA, record, {}), FillResult::BufferTooSmall);
    EXPECT_EQ(more[0].ulValueLen, 0xFFFFFFFFu);
    EXPECT_EQ(more[1].ulValueLen, 0xFFFFFFFFu);
}

TEST(FillTemplate, StopsAtOnceOnAMalformedRecord) {
    Bytes record = concat({entry(CKA_TOKEN, {1}), Bytes{0, 0, 1}});
    uint8_t a = 9, b = 9;
    std::vector<CK_ATTRIBUTE> tmpl = {attr(CKA_LABEL, nullptr, 0), attr(CKA_SIGN, &a, 1), attr(CKA_TOKEN, &b, 1)};
    EXPECT_EQ(fillTemplate(tmpl, CKO_DATA, record, {}), FillResult::MalformedRecord);
    EXPECT_EQ(a, 9);
    EXPECT_EQ(b, 9);
    // A record of four bytes or fewer holds nothing: only defaults answer.
    EXPECT_EQ(fillTemplate({&tmpl[1], 1}, CKO_DATA, Bytes{1, 2, 3, 4}, {}), FillResult::Ok);
    EXPECT_EQ(a, 1);
}

TEST(FillTemplate, AnswersDerivedValuesFromTheBody) {
    const Bytes certificate = {0x30, 0x03, 0x02, 0x01, 0x05};
    DerivedValues derived;
    derived.value = DerivedValue::of(certificate);
    derived.subject = DerivedValue::of({});
    derived.issuer = {nullptr, 3};  // claims bytes it does not have
    Bytes value(5), ecPoint(4), subject(1);
    std::vector<CK_ATTRIBUTE> tmpl = {attr(CKA_VALUE, value), attr(CKA_SUBJECT, subject)};
    ASSERT_EQ(fillTemplate(tmpl, CKO_CERTIFICATE, Bytes{}, derived), FillResult::Ok);
    EXPECT_EQ(value, certificate);
    EXPECT_EQ(tmpl[1].ulValueLen, 0u);

    std::vector<CK_ATTRIBUTE> failing = {attr(CKA_EC_POINT, ecPoint), attr(CKA_MODULUS, nullptr, 0)};
    EXPECT_EQ(fillTemplate(failing, CKO_CERTIFICATE, Bytes{}, derived), FillResult::TypeInvalid);
    EXPECT_EQ(failing[0].ulValueLen, 0xFFFFFFFFu);  // same value as CKA_VALUE, too small
    EXPECT_EQ(failing[1].ulValueLen, 0xFFFFFFFFu);  // not available
    CK_ATTRIBUTE issuer = attr(CKA_ISSUER, nullptr, 0);
    EXPECT_EQ(fillTemplate({&issuer, 1}, CKO_CERTIFICATE, Bytes{}, derived), FillResult::TypeInvalid);
}

TEST(TemplateRecordFill, RefusesMoreThanThirtyEntriesAndCopiesOnlyRealValues) {
    std::vector<uint8_t> flags(31, 1);
    std::vector<CK_ATTRIBUTE> tmpl;
    for (auto& f : flags) tmpl.push_back(attr(CKA_TOKEN, f));
    TemplateRecord record;
    EXPECT_EQ(record.fill(tmpl), TemplateResult::TooMany);
    EXPECT_EQ(record.count(), 0u);
    tmpl.pop_back();
    ASSERT_EQ(record.fill(tmpl), TemplateResult::Ok);
    EXPECT_EQ(record.appendBoolean(CKA_LOCAL, false), TemplateResult::TooMany);

    Bytes id = bytesOf("id");
    const std::vector<CK_ATTRIBUTE> odd = {attr(CKA_ID, id), attr(CKA_LABEL, id.data(), 0),
                                           attr(CKA_VALUE, id.data(), 0xFFFFFFFF), attr(CKA_SUBJECT, nullptr, 7)};
    ASSERT_EQ(record.fill(odd), TemplateResult::Ok);
    EXPECT_NE(record.entries()[0].pValue, id.data());
    EXPECT_EQ(record.entries()[1].pValue, nullptr);  // never aliases host memory
    EXPECT_EQ(record.entries()[2].pValue, nullptr);
    EXPECT_EQ(record.entries()[2].ulValueLen, 0xFFFFFFFFu);
    EXPECT_EQ(record.entries()[3].ulValueLen, 7u);
}

TEST(TemplateRecordLookup, ChecksLengthsAndReportsNeededSizes) {
    TemplateRecord record;
    ASSERT_EQ(record.appendBoolean(CKA_PRIVATE, true), TemplateResult::Ok);
    ASSERT_EQ(record.appendNumber(CKA_KEY_TYPE, CKK_DES3), TemplateResult::Ok);
    ASSERT_EQ(record.appendBytes(CKA_ID, bytesOf("abcdef")), TemplateResult::Ok);
    Bytes unavailable = bytesOf("zz");
    const CK_ATTRIBUTE extra[] = {attr(CKA_LABEL, unavailable.data(), 0xFFFFFFFF), attr(CKA_SUBJECT, nullptr, 3)};
    TemplateRecord copy;
    ASSERT_EQ(copy.fill(extra), TemplateResult::Ok);

    bool flag = false;
    uint32_t number = 0, length = 0;
    EXPECT_EQ(record.getBoolean(CKA_PRIVATE, flag), TemplateLookup::Found);
    EXPECT_TRUE(flag);
    EXPECT_EQ(record.getNumber(CKA_KEY_TYPE, number), TemplateLookup::Found);
    EXPECT_EQ(number, CKK_DES3);
    EXPECT_EQ(record.getBoolean(CKA_KEY_TYPE, flag), TemplateLookup::WrongLength);
    EXPECT_EQ(record.getNumber(CKA_ID, number), TemplateLookup::WrongLength);
    EXPECT_EQ(record.getNumber(CKA_MODULUS_BITS, number), TemplateLookup::Absent);

    Bytes small(3), big(8);
    EXPECT_EQ(record.getBytes(CKA_ID, small, length), TemplateLookup::BufferTooSmall);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(record.getBytes(CKA_ID, big, length), TemplateLookup::Found);
    EXPECT_EQ(std::string(big.begin(), big.begin() + 6), "abcdef");
    EXPECT_EQ(copy.getBytes(CKA_LABEL, big, length), TemplateLookup::Absent);
    EXPECT_EQ(copy.getBytes(CKA_SUBJECT, big, length), TemplateLookup::WrongLength);

    record.remove(CKA_KEY_TYPE);
    ASSERT_EQ(record.count(), 2u);
    EXPECT_EQ(record.entries()[1].type, CKA_ID);
    ASSERT_EQ(copy.copyFrom(record), TemplateResult::Ok);
    EXPECT_EQ(copy.count(), 2u);
    EXPECT_NE(copy.entries()[1].pValue, record.entries()[1].pValue);
}

}  // namespace
}  // namespace korva::objects
