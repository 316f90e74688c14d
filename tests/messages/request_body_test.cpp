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

// Every entry the list gives; `ended` tells a list that ended early. The
// entries point into the block, which must outlive them.
std::vector<TextEntry> entries(TextList list, bool* ended = nullptr) {
    std::vector<TextEntry> out;
    while (!list.done()) {
        const std::optional<TextEntry> entry = list.next();
        if (!entry) {
            if (ended != nullptr) *ended = true;
            break;
        }
        out.push_back(*entry);
    }
    return out;
}

TEST(TextLists, EntriesAreReadAsPairsOrTriplesAndNeverPastTheEntryThatEndsTheList) {
    const std::string block =
        "keyUsage\0digitalSignature\0"
        "1\0basicConstraints\0CA:FALSE\0"
        "0\0"s;
    const auto triples = entries(TextList(block.data(), 2, EntryShape::kTriples, block.size()));
    ASSERT_EQ(triples.size(), 2u);
    EXPECT_EQ(triples[1].name, "basicConstraints");
    EXPECT_EQ(triples[1].criticality, "0");
    // The same block read as pairs: the first criticality text becomes the
    // second entry's name.
    const auto pairs = entries(TextList(block.data(), 2, EntryShape::kPairs, block.size()));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[1].name, "1");
    EXPECT_EQ(pairs[1].value, "basicConstraints");

    // A count beyond the entries: the host's block ends in zeros, and the
    // first empty name ends the list (AddressSanitizer watches the heap
    // block's last byte).
    const std::vector<char> host = {'C', 'N', 0, 'x', 0, 0};
    const struct {
        const char* what;
        TextList list;
        std::size_t taken;
    } ended[] = {
        {"runs out of strings", TextList(block.data(), 4, EntryShape::kPairs, block.size()), 3},
        {"last NUL missing", TextList("CN\0abc", 1, EntryShape::kPairs, 6), 0},
        {"empty name in an unbounded block", TextList(host.data(), 0xFFFFFFFF, EntryShape::kPairs), 1},
    };
    for (const auto& c : ended) {
        bool early = false;
        EXPECT_EQ(entries(c.list, &early).size(), c.taken) << c.what;
        EXPECT_TRUE(early) << c.what;
    }
    EXPECT_TRUE(TextList(nullptr, 0, EntryShape::kPairs).done());
    EXPECT_TRUE(isCritical("1") && isCritical("") && !isCritical("0"));
}

class RequestBody : public ::testing::Test {
protected:
    void SetUp() override {
        key.reset(EVP_EC_gen("P-256"));
        request.reset(X509_REQ_new());
        ASSERT_TRUE(key && request);
    }
    // Unbounded blocks, as the host passes them.
    abi::CK_RV build(const std::string& subject, const std::string& attributes, std::size_t attributeCount) {
        const TextList subjectList(keep(subject).data(), 1, EntryShape::kPairs);
        const TextList attributeList(keep(attributes).data(), attributeCount, EntryShape::kPairs);
        return buildRequestBody(request.get(), key.get(), {subjectList, attributeList, std::nullopt});
    }
    // Blocks live as long as the test, like the host's.
    const std::string& keep(std::string block) { return blocks.emplace_back(std::move(block)); }

    std::deque<std::string> blocks;
    EvpPkeyPtr key;
    X509ReqPtr request;
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
        {"letters in a number field",
         "1.2.643.100.3\0"
         "1234567890A\0"s,
         "", 0, abi::CKR_VENDOR_SUBJECT_ENTRY_REJECTED},
        {"attribute value a field does not take", "CN\0x\0"s, "countryName\0RUS\0"s, 1,
         abi::CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED},
        {"attribute by OID", "CN\0x\0"s, "1.2.3.4\0value\0"s, 1, abi::CKR_OK},
        {"more attributes counted than given", "CN\0x\0"s, "1.2.3.4\0value\0"s, 0xFFFFFFFF,
         abi::CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(build(c.subject, c.attributes, c.attributeCount), c.rv) << c.what;
    }
}

}  // namespace
}  // namespace korva::messages
