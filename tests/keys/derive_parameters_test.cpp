// The key-agreement parameter in both layouts: what is accepted, and that
// no length the host states makes the reader look past the parameter.
#include "keys/derive_parameters.h"

#include <korva/pkcs11_constants.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korva::keys {
namespace {

using Bytes = std::vector<uint8_t>;

// The pointer layout is as long as the host's record: 20 bytes where
// pointers take 32 bits, 40 where they take 64.
TEST(DeriveParameter, PointerLayoutIsTheHostsRecord) {
    EXPECT_EQ(sizeof(abi::CK_GOSTR3410_DERIVE_PARAMS), sizeof(void*) == 4 ? 20u : 40u);
}

struct Case {
    const char* name;
    uint32_t mechanism;
    uint32_t publicLength;  // as stated in the parameter
    uint32_t ukmLength;     // as stated
    abi::CK_RV expected;
};

const Case kCases[] = {
    {"Key256", abi::CKM_GOSTR3410_DERIVE, 64, 8, abi::CKR_OK},
    {"Key512", abi::CKM_GOSTR3410_12_DERIVE, 128, 8, abi::CKR_OK},
    {"LongUkm2012", abi::CKM_GOSTR3410_12_DERIVE, 64, 32, abi::CKR_OK},
    {"LongUkm2001", abi::CKM_GOSTR3410_DERIVE, 64, 16, abi::CKR_MECHANISM_PARAM_INVALID},
    {"UkmTooShort", abi::CKM_GOSTR3410_12_DERIVE, 64, 7, abi::CKR_MECHANISM_PARAM_INVALID},
    {"UkmTooLong", abi::CKM_GOSTR3410_12_DERIVE, 64, 33, abi::CKR_MECHANISM_PARAM_INVALID},
    {"OddKeySize", abi::CKM_GOSTR3410_12_DERIVE, 96, 8, abi::CKR_MECHANISM_PARAM_INVALID},
};

class BothLayouts : public ::testing::TestWithParam<Case> {
protected:
    Bytes publicKey = Bytes(GetParam().publicLength, 0x11);
    Bytes ukm = Bytes(GetParam().ukmLength, 0x22);
};

TEST_P(BothLayouts, InlineLayout) {
    const Case& c = GetParam();
    Bytes parameter(12 + publicKey.size() + ukm.size(), 0);
    std::memcpy(parameter.data() + 4, &c.publicLength, 4);
    std::copy(publicKey.begin(), publicKey.end(), parameter.begin() + 8);
    std::memcpy(parameter.data() + 8 + publicKey.size(), &c.ukmLength, 4);
    std::copy(ukm.begin(), ukm.end(), parameter.end() - long(ukm.size()));
    const abi::CK_MECHANISM mechanism{c.mechanism, parameter.data(), uint32_t(parameter.size())};
    DeriveInputs inputs;
    ASSERT_EQ(parseDeriveParameter(mechanism, inputs), c.expected);
    if (c.expected != abi::CKR_OK) return;
    EXPECT_EQ(Bytes(inputs.peerPublicKey.begin(), inputs.peerPublicKey.end()), publicKey);
    EXPECT_EQ(Bytes(inputs.ukm.begin(), inputs.ukm.end()), ukm);
}

TEST_P(BothLayouts, PointerLayout) {
    const Case& c = GetParam();
    abi::CK_GOSTR3410_DERIVE_PARAMS params{1, publicKey.data(), c.publicLength, ukm.data(), c.ukmLength};
    const abi::CK_MECHANISM mechanism{c.mechanism, &params, sizeof params};
    DeriveInputs inputs;
    ASSERT_EQ(parseDeriveParameter(mechanism, inputs), c.expected);
    if (c.expected != abi::CKR_OK) return;
    EXPECT_EQ(inputs.peerPublicKey.data(), publicKey.data());
    EXPECT_EQ(inputs.ukm.size(), ukm.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, BothLayouts, ::testing::ValuesIn(kCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(DeriveParameter, LengthsBeyondTheParameterAndMissingPiecesAreRefused) {
    Bytes publicKey(64, 1), ukm(8, 2);
    abi::CK_GOSTR3410_DERIVE_PARAMS params{0, publicKey.data(), 64, nullptr, 8};
    DeriveInputs inputs;
    const auto parse = [&inputs](void* parameter, uint32_t length) {
        const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410_12_DERIVE, parameter, length};
        return parseDeriveParameter(mechanism, inputs);
    };
    EXPECT_EQ(parse(&params, sizeof params), abi::CKR_MECHANISM_PARAM_INVALID);  // null UKM
    params.pUKM = ukm.data();
    params.pPublicData = nullptr;
    EXPECT_EQ(parse(&params, sizeof params), abi::CKR_MECHANISM_PARAM_INVALID);  // null public key
    EXPECT_EQ(parse(nullptr, 84), abi::CKR_MECHANISM_PARAM_INVALID);
    Bytes parameter(84, 0);
    EXPECT_EQ(parse(parameter.data(), 0), abi::CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(parse(parameter.data(), uint32_t(sizeof params) + 1), abi::CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(parse(parameter.data(), 83), abi::CKR_MECHANISM_PARAM_INVALID);
    // Stated lengths that run past the 84 bytes, up to the largest number.
    for (uint32_t stated : {65u, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
        std::memcpy(parameter.data() + 4, &stated, 4);
        EXPECT_EQ(parse(parameter.data(), 84), abi::CKR_MECHANISM_PARAM_INVALID) << stated;
    }
    const uint32_t sixtyFour = 64;
    std::memcpy(parameter.data() + 4, &sixtyFour, 4);
    for (uint32_t stated : {9u, 0xFFFFFFFFu}) {
        std::memcpy(parameter.data() + 72, &stated, 4);
        EXPECT_EQ(parse(parameter.data(), 84), abi::CKR_MECHANISM_PARAM_INVALID) << stated;
    }
}

}  // namespace
}  // namespace korva::keys
