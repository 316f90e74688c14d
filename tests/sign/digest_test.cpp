#include "sign/digest.h"
#include "tests/token/rule_card.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korva::sign {
namespace {

using namespace korva::abi;
using Bytes = std::vector<uint8_t>;

constexpr std::array<uint8_t, 9> kOidGost94CryptoPro{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
constexpr std::array<uint8_t, 10> kOidGost2012_512{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x03};

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

struct Vector {
    CK_MECHANISM_TYPE mechanism;
    std::string message;
    Bytes expected;
};

std::vector<Vector> readVectors() {
    std::ifstream file(KORVA_DIGEST_VECTORS);
    std::vector<Vector> vectors;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto bar1 = line.find('|');
        const auto bar2 = line.find('|', bar1 + 1);
        vectors.push_back({static_cast<CK_MECHANISM_TYPE>(std::stoul(trim(line.substr(0, bar1)), nullptr, 16)),
                           trim(line.substr(bar1 + 1, bar2 - bar1 - 1)), fromHex(trim(line.substr(bar2 + 1)))});
    }
    return vectors;
}

Bytes digestOf(CK_MECHANISM_TYPE mechanism, const std::string& message, const OperationRecord& state,
               CK_RV* rv = nullptr) {
    Bytes out(64, 0xEE);
    CK_ULONG length = static_cast<CK_ULONG>(out.size());
    const CK_RV result = digest(reinterpret_cast<const uint8_t*>(message.data()), static_cast<CK_ULONG>(message.size()),
                                out.data(), &length, &state, mechanism);
    if (rv != nullptr) *rv = result;
    if (result != CKR_OK) return {};
    out.resize(length);
    return out;
}

OperationRecord recordWith(std::span<const uint8_t> oid) {
    OperationRecord state{};
    state.digest.length = static_cast<uint8_t>(oid.size());
    std::ranges::copy(oid, state.digest.der);
    return state;
}

// Every vector through the digest slot's logic. The GOST R 34.11-94 vectors
// also run with the CryptoPro parameter set named in the record, which must
// give the same digest as no parameter at all.
TEST(Digest, KnownAnswers) {
    const std::vector<Vector> vectors = readVectors();
    ASSERT_GE(vectors.size(), 20u);
    for (const Vector& vector : vectors) {
        SCOPED_TRACE(::testing::Message() << std::hex << vector.mechanism << " \"" << vector.message << "\"");
        EXPECT_EQ(digestOf(vector.mechanism, vector.message, OperationRecord{}), vector.expected);
        if (vector.mechanism == CKM_GOSTR3411) {
            EXPECT_EQ(digestOf(vector.mechanism, vector.message, recordWith(kOidGost94CryptoPro)), vector.expected);
            EXPECT_EQ(digestOf(vector.mechanism, vector.message, recordWith(kOidGost2012_512)), vector.expected);
        }
    }
}

TEST(Digest, LengthQueriesAndShortBuffers) {
    const OperationRecord state{};
    const uint8_t data[] = {1, 2, 3};
    for (const CK_MECHANISM_TYPE mechanism : {CKM_MD5, CKM_SHA_1, CKM_SHA224, CKM_SHA256, CKM_SHA384, CKM_SHA512,
                                              CKM_GOSTR3411, CKM_GOSTR3411_12_256, CKM_GOSTR3411_12_512}) {
        const CK_ULONG expected = findDigestMechanism(mechanism)->length;
        CK_ULONG length = 0;
        EXPECT_EQ(digest(data, 3, nullptr, &length, &state, mechanism), CKR_OK);
        EXPECT_EQ(length, expected);

        Bytes buffer(expected, 0xEE);
        length = expected - 1;
        EXPECT_EQ(digest(data, 3, buffer.data(), &length, &state, mechanism), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, expected);
        EXPECT_EQ(buffer, Bytes(expected, 0xEE)) << "nothing written on a short buffer";
    }
}

TEST(Digest, RefusesBadArgumentsAndRecords) {
    const OperationRecord zero{};
    uint8_t out[64];
    CK_ULONG length = sizeof out;
    const uint8_t data[] = {1};
    EXPECT_EQ(digest(data, 1, out, nullptr, &zero, CKM_SHA256), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(digest(nullptr, 5, out, &length, &zero, CKM_SHA256), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(digest(data, 1, out, &length, nullptr, CKM_SHA256), CKR_FUNCTION_FAILED);
    EXPECT_EQ(digest(data, 1, out, &length, &zero, 0x1201), CKR_FUNCTION_FAILED) << "a signing mechanism";

    // A host record that no initialisation could have written.
    OperationRecord tooLong{};
    tooLong.digest.length = 40;
    EXPECT_EQ(digest(data, 1, out, &length, &tooLong, CKM_GOSTR3411), CKR_FUNCTION_FAILED);
    const uint8_t unknownOid[] = {0x06, 0x03, 0x2A, 0x85, 0x03};
    EXPECT_EQ(digest(data, 1, out, &length, &(tooLong = recordWith(unknownOid)), CKM_GOSTR3411), CKR_FUNCTION_FAILED);
    // Null data of length 0 is the empty message.
    length = sizeof out;
    EXPECT_EQ(digest(nullptr, 0, out, &length, &zero, CKM_SHA_1), CKR_OK);
    EXPECT_EQ(Bytes(out, out + length), fromHex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

// Initialisation talks to the card only for the capability answer: 31 bytes
// whose byte 29 is 1 on a card without GOST R 34.10-2012 support.
class DigestInit : public ::testing::Test {
protected:
    void answerCapability(uint8_t byte29) {
        Bytes answer(31, 0);
        answer[29] = byte29;
        card_.on({0x80, 0xFE, 0x00, 0x00}, {answer});
    }
    CK_RV init(CK_MECHANISM_TYPE type, const void* parameter = nullptr, CK_ULONG length = 0) {
        std::ranges::fill(state_.bytes, uint8_t{0xAA});
        CK_MECHANISM mechanism{type, const_cast<void*>(parameter), length};
        return digestInit(card_.host(), &mechanism, &state_);
    }

    testing::RuleCard card_;
    OperationRecord state_{};
};

TEST_F(DigestInit, FillsTheRecordWithTheParameterOrZeros) {
    answerCapability(0);
    EXPECT_EQ(init(CKM_GOSTR3411, kOidGost94CryptoPro.data(), 9), CKR_OK);
    EXPECT_EQ(state_.digest.length, 9);
    EXPECT_TRUE(std::equal(kOidGost94CryptoPro.begin(), kOidGost94CryptoPro.end(), state_.digest.der));
    EXPECT_TRUE(std::all_of(state_.bytes + 10, state_.bytes + 40, [](uint8_t b) { return b == 0; }));

    for (const auto& [type, parameter] : {std::pair{CKM_GOSTR3411, kOidGost94CryptoPro.data()},
                                          std::pair{CKM_SHA256, static_cast<const uint8_t*>(nullptr)},
                                          std::pair{CKM_GOSTR3411_12_512, static_cast<const uint8_t*>(nullptr)}}) {
        EXPECT_EQ(init(type, parameter, 0), CKR_OK) << std::hex << type;
        EXPECT_EQ(OperationRecord{}.bytes[0], state_.bytes[0]);
        EXPECT_TRUE(std::all_of(state_.bytes, state_.bytes + 40, [](uint8_t b) { return b == 0; }));
    }
}

TEST_F(DigestInit, RefusesBadParameters) {
    answerCapability(0);
    const Bytes forty = [] {
        Bytes b(40, 0);
        std::ranges::copy(kOidGost94CryptoPro, b.begin());
        return b;
    }();
    EXPECT_EQ(init(CKM_GOSTR3411, forty.data(), 40), CKR_MECHANISM_PARAM_INVALID);
    const uint8_t signingOid[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
    EXPECT_EQ(init(CKM_GOSTR3411, signingOid, 9), CKR_MECHANISM_PARAM_INVALID) << "a curve, not a digest";
    EXPECT_EQ(init(CKM_SHA256, kOidGost94CryptoPro.data(), 9), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(init(CKM_MD5, kOidGost94CryptoPro.data(), 0), CKR_MECHANISM_PARAM_INVALID);
}

TEST_F(DigestInit, RefusesOtherMechanismsAndGost2012OnOlderCards) {
    answerCapability(1);
    EXPECT_EQ(init(0x1201), CKR_MECHANISM_INVALID);
    EXPECT_EQ(init(CKM_GOSTR3411_12_256), CKR_MECHANISM_INVALID);
    EXPECT_EQ(init(CKM_GOSTR3411_12_512), CKR_MECHANISM_INVALID);
    EXPECT_EQ(init(CKM_GOSTR3411), CKR_OK);
    EXPECT_EQ(digestInit(card_.host(), nullptr, &state_), CKR_FUNCTION_FAILED);
    CK_MECHANISM sha{CKM_SHA256, nullptr, 0};
    EXPECT_EQ(digestInit(card_.host(), &sha, nullptr), CKR_FUNCTION_FAILED);
}

TEST_F(DigestInit, AFailingCapabilityQueryMeansAnOlderCard) {
    card_.on({0x80, 0xFE, 0x00, 0x00}, {{}, 0x6D00});
    EXPECT_EQ(init(CKM_GOSTR3411_12_256), CKR_MECHANISM_INVALID);
    EXPECT_EQ(init(CKM_SHA512), CKR_OK);
}

}  // namespace
}  // namespace korva::sign
