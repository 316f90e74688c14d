// The text lists as the host lays them out, and the entries the request
// body refuses (the slot-level proofs with the openssl command line are in
// the end-to-end tests).
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
    abi::CK_RV build(const std::string& subject, const std::string& attributes, std::size_t attributeCount) {
        subjectList = list(keep(subject), 1);
        attributeList = list(keep(attributes), attributeCount);
        return buildRequestBody(request.get(), key.get(), {subjectList, attributeList, nullptr, EntryShape::kPairs});
    }
    // Blocks live as long as the test, like the host's.
    const std::string& keep(std::string block) { return blocks.emplace_back(std::move(block)); }

    std::deque<std::string> blocks;
    EvpPkeyPtr key;
    X509ReqPtr request;
    std::vector<TextEntry> subjectList, attributeList;
};

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
        EXPECT_EQ(build(c.subject, c.attributes, c.attributeCount), c.rv) << c.what;
    }
}

}  // namespace
}  // namespace korva::messages
