// Slot 50 on messages the openssl command line signs with engine GOST keys
// and RSA keys, and on those messages damaged.
#include "tests/messages/openssl_tool.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <string>

namespace korva::test {
namespace {

using abi::CK_RV;
using abi::CK_ULONG;

struct SignerCase {
    const char* name;
    const char* algorithm;  // genpkey's -algorithm and options
};

void PrintTo(const SignerCase& c, std::ostream* out) { *out << c.name; }

class MessageVerification : public ::testing::TestWithParam<SignerCase> {
protected:
    void SetUp() override {
        const ToolResult key =
            tool.run(std::string("genpkey -engine gost -algorithm ") + GetParam().algorithm + " -out key.pem");
        ASSERT_EQ(key.exitCode, 0) << key.output;
        const ToolResult certificate =
            tool.run("req -engine gost -new -x509 -key key.pem -subj /CN=signer -days 1 -out signer.pem");
        ASSERT_EQ(certificate.exitCode, 0) << certificate.output;
        tool.write("data", content);
    }

    Bytes sign(const std::string& options) {
        const ToolResult signedData = tool.run(
            "cms -sign -engine gost -noattr -binary -signer signer.pem -inkey key.pem "
            "-in data -outform DER -out message.der " +
            options);
        EXPECT_EQ(signedData.exitCode, 0) << signedData.output;
        return tool.read("message.der");
    }

    CK_RV verify(const Bytes& message, const Bytes& detached = {}) {
        return host.table()->verifyMessage(host.context(), nullptr, nullptr, message.data(), CK_ULONG(message.size()),
                                           detached.empty() ? nullptr : detached.data(), CK_ULONG(detached.size()));
    }

    OpenSslTool tool;
    TestHost host;
    const Bytes content{'w', 'o', 'r', 'l', 'd', ' ', 't', 'o', 'o', 'l', 's'};
};

TEST_P(MessageVerification, MessagesOfTheCommandLineVerifyUntilDamaged) {
    const Bytes attached = sign("-nodetach");
    EXPECT_EQ(verify(attached), abi::CKR_OK);
    Bytes flipped = attached;
    flipped.back() ^= 0x80;  // a byte of the signature, which ends the message
    EXPECT_EQ(verify(flipped), abi::CKR_SIGNATURE_INVALID);
    const Bytes truncated(attached.begin(), attached.end() - 10);
    EXPECT_EQ(verify(truncated), abi::CKR_DATA_INVALID);
    EXPECT_EQ(verify(sign("-nodetach -nocerts")), abi::CKR_SIGNATURE_INVALID);

    const Bytes detached = sign("");
    EXPECT_EQ(verify(detached, content), abi::CKR_OK);
    EXPECT_EQ(verify(detached), abi::CKR_SIGNATURE_INVALID);
    // A content pointer with length 0 is no content.
    EXPECT_EQ(host.table()->verifyMessage(host.context(), nullptr, nullptr, detached.data(), CK_ULONG(detached.size()),
                                          content.data(), 0),
              abi::CKR_SIGNATURE_INVALID);
    Bytes otherContent = content;
    otherContent[0] ^= 0x01;
    EXPECT_EQ(verify(detached, otherContent), abi::CKR_SIGNATURE_INVALID);
}

INSTANTIATE_TEST_SUITE_P(Signers, MessageVerification,
                         ::testing::Values(SignerCase{"Gost2001", "gost2001 -pkeyopt paramset:A"},
                                           SignerCase{"Gost2012_256", "gost2012_256 -pkeyopt paramset:A"},
                                           SignerCase{"Gost2012_512", "gost2012_512 -pkeyopt paramset:A"},
                                           SignerCase{"Rsa", "RSA -pkeyopt rsa_keygen_bits:1024"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(MessageVerificationArguments, NoMessageIsABadArgumentAndNoPkcs7IsBadData) {
    TestHost host;
    const Bytes notPkcs7{0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(host.table()->verifyMessage(host.context(), nullptr, nullptr, nullptr, 10, nullptr, 0),
              abi::CKR_ARGUMENTS_BAD);
    EXPECT_EQ(host.table()->verifyMessage(host.context(), nullptr, nullptr, notPkcs7.data(), 0, nullptr, 0),
              abi::CKR_ARGUMENTS_BAD);
    EXPECT_EQ(host.table()->verifyMessage(host.context(), nullptr, nullptr, notPkcs7.data(), CK_ULONG(notPkcs7.size()),
                                          nullptr, 0),
              abi::CKR_DATA_INVALID);
    // No card is asked.
    EXPECT_TRUE(host.exchanges().empty());
}

}  // namespace
}  // namespace korva::test
