// The text lists as the host lays them out, and the request body built
// from them: string types, criticality, the extension request and the
// codes of refused entries.
#include "messages/openssl_handles.h"
#include "messages/request_body.h"

#include <korva/pkcs11_constants.h>

#include <openssl/ec.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace korva::messages {
namespace {

using namespace std::string_literals;

// The entries point into `block`, which must outlive them.
std::vector<TextEntry> list(const std::string& block, std::size_t count, EntryShape shape = EntryShape::kPairs) {
    auto entries = readTextList(block.data(), count, shape, block.size());
    EXPECT_TRUE(entries.has_value());
    return entries.value_or(std::vector<TextEntry>{});
}

TEST(TextLists, EntriesAreReadAsPairsOrTriplesAndNeverPastTheBlock) {
    const std::string block = "keyUsage\0digitalSignature\0" "1\0basicConstraints\0CA:FALSE\0" "0\0"s;
    const auto triples = list(block, 2, EntryShape::kTriples);
    ASSERT_EQ(triples.size(), 2u);
    EXPECT_EQ(triples[1].name, "basicConstraints");
    EXPECT_EQ(triples[1].criticality, "0");
    // The same block read as pairs: the first criticality text becomes the
    // second entry's name.
    const auto pairs = list(block, 2);
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[1].name, "1");
    EXPECT_EQ(pairs[1].value, "basicConstraints");

    EXPECT_FALSE(readTextList(block.data(), 4, EntryShape::kPairs, block.size()));  // runs out of strings
    EXPECT_FALSE(readTextList("CN\0abc"s.data(), 1, EntryShape::kPairs, 6));        // last NUL missing
    EXPECT_FALSE(readTextList(nullptr, 1, EntryShape::kPairs));
    EXPECT_TRUE(readTextList(nullptr, 0, EntryShape::kPairs)->empty());
    EXPECT_TRUE(isCritical("1") && isCritical("") && !isCritical("0"));
}

class RequestBody : public ::testing::Test {
protected:
    void SetUp() override {
        key.reset(EVP_EC_gen("P-256"));
        request.reset(X509_REQ_new());
        ASSERT_TRUE(key && request);
    }
    abi::CK_RV build(const std::string& subject, std::size_t subjectCount, const std::string& attributes = "",
                     std::size_t attributeCount = 0, const std::vector<TextEntry>* extensions = nullptr,
                     EntryShape shape = EntryShape::kPairs) {
        subjectList = list(keep(subject), subjectCount);
        attributeList = list(keep(attributes), attributeCount);
        return buildRequestBody(request.get(), key.get(), {subjectList, attributeList, extensions, shape});
    }
    int subjectType(int index) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(X509_REQ_get_subject_name(request.get()), index);
        return entry ? ASN1_STRING_type(X509_NAME_ENTRY_get_data(entry)) : -1;
    }
    STACK_OF(X509_EXTENSION) * extensions() { return X509_REQ_get_extensions(request.get()); }

    // Blocks live as long as the test, like the host's.
    const std::string& keep(std::string block) { return blocks.emplace_back(std::move(block)); }

    std::deque<std::string> blocks;
    EvpPkeyPtr key;
    X509ReqPtr request;
    std::vector<TextEntry> subjectList, attributeList;
};

TEST_F(RequestBody, TheThreeNumberFieldsAreNumericStringsAndEverythingElseText) {
    const std::string subject =
        "1.2.643.100.1\0" "1027700132195\0" "1.2.643.100.3\0" "12345678901\0" "1.2.643.3.131.1.1\0" "007700000000\0"
        "CN\0" "12345678901\0" "O\0" "Организация\0" "C\0" "RU\0"s;
    ASSERT_EQ(build(subject, 6), abi::CKR_OK);
    const int expected[] = {V_ASN1_NUMERICSTRING, V_ASN1_NUMERICSTRING, V_ASN1_NUMERICSTRING,
                            V_ASN1_UTF8STRING,    V_ASN1_UTF8STRING,    V_ASN1_PRINTABLESTRING};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(subjectType(i), expected[i]) << "entry " << i;
}

TEST_F(RequestBody, RefusedEntriesGiveTheCodeOfTheirList) {
    struct Case {
        const char* what;
        std::string subject, attributes;
        std::size_t attributeCount;
        abi::CK_RV rv;
    };
    const Case cases[] = {
        {"country too long", "C\0RUS\0"s, "", 0, abi::CKR_VENDOR_SUBJECT_ENTRY_REJECTED},
        {"letters in a number field", "1.2.643.100.3\0" "1234567890A\0"s, "", 0, abi::CKR_VENDOR_SUBJECT_ENTRY_REJECTED},
        {"attribute value a field does not take", "CN\0x\0"s, "countryName\0RUS\0"s, 1,
         abi::CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED},
        {"attribute by OID", "CN\0x\0"s, "1.2.3.4\0value\0"s, 1, abi::CKR_OK},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(build(c.subject, 1, c.attributes, c.attributeCount), c.rv) << c.what;
    }
}

TEST_F(RequestBody, TheProfileMarkerAddsNoAttribute) {
    const std::string attributes = "challengePassword\0secret\0" "1.2.643.7.1.1.2.2\0anything\0"s;
    ASSERT_EQ(build("CN\0x\0"s, 1, attributes, 2), abi::CKR_OK);
    EXPECT_TRUE(asksForGost2012Profile(attributeList));
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 1);
}

TEST_F(RequestBody, ExtensionsCarryTheirCriticalityAndAnEmptyListStillMakesARequest) {
    const auto triples = list(keep("keyUsage\0digitalSignature\0" "1\0basicConstraints\0CA:FALSE\0" "0\0"s), 2,
                              EntryShape::kTriples);
    ASSERT_EQ(build("CN\0x\0"s, 1, "", 0, &triples, EntryShape::kTriples), abi::CKR_OK);
    STACK_OF(X509_EXTENSION)* made = extensions();
    ASSERT_EQ(sk_X509_EXTENSION_num(made), 2);
    EXPECT_EQ(X509_EXTENSION_get_critical(sk_X509_EXTENSION_value(made, 0)), 1);
    EXPECT_EQ(X509_EXTENSION_get_critical(sk_X509_EXTENSION_value(made, 1)), 0);
    sk_X509_EXTENSION_pop_free(made, X509_EXTENSION_free);

    const std::vector<TextEntry> none;
    SetUp();
    ASSERT_EQ(build("CN\0x\0"s, 1, "", 0, &none), abi::CKR_OK);
    EXPECT_EQ(X509_REQ_get_attr_by_NID(request.get(), NID_ext_req, -1), 0);
    SetUp();
    ASSERT_EQ(build("CN\0x\0"s, 1), abi::CKR_OK);
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 0);

    const auto bad = list(keep("keyUsage\0notAUsage\0"s), 1);
    SetUp();
    EXPECT_EQ(build("CN\0x\0"s, 1, "", 0, &bad), abi::CKR_VENDOR_EXTENSION_REJECTED);
}

}  // namespace
}  // namespace korva::messages
