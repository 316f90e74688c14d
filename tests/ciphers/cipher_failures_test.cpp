// The failure codes of the cipher slots, the record they leave behind, and
// a transport failure or an error status at every exchange of an update.
#include "tests/ciphers/cipher_fixture.h"

#include <cstring>

namespace korva::test {
namespace {

using namespace korva::abi;

constexpr uint32_t kUnknownMechanism = 0x1234;

class CipherFailures : public CipherTest {
protected:
    ObjectHandle key(const KeySpec& spec, Template extra = {}) {
        Bytes value;
        return makeKey(spec, value, std::move(extra));
    }
    CK_RV initWith(Direction direction, uint32_t mechanism, const ObjectHandle& handle, const Bytes& iv = {}) {
        OperationRecord state{};
        return init(direction, mechanism, handle, iv, state);
    }
    static bool sameState(const OperationRecord& a, const OperationRecord& b) {
        return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
    }
};

TEST_F(CipherFailures, InitialisationRefusesWhatDoesNotFit) {
    const ObjectHandle aes = key({CKK_AES, 16});
    const ObjectHandle gost = key({CKK_GOST28147, 32});
    const ObjectHandle noEncrypt = key({CKK_DES, 8}, std::move(Template().flag(CKA_ENCRYPT, false)));
    const ObjectHandle session = key({CKK_DES3, 24, KeyHome::kSession});  // no CKA_DECRYPT: may decrypt
    const ObjectHandle publicKeyHandle = mustCreate(publicKey("rsa"));
    const ObjectHandle freeRecord = key({CKK_AES, 16});
    ASSERT_EQ(destroy(freeRecord), CKR_OK);
    struct Row {
        const char* what;
        Direction direction;
        uint32_t mechanism;
        ObjectHandle handle;
        Bytes iv;
        CK_RV expected;
    };
    const Row rows[] = {
        {"unknown mechanism", Direction::kEncrypt, kUnknownMechanism, aes, {}, CKR_MECHANISM_INVALID},
        {"DES IV of 16 bytes", Direction::kEncrypt, CKM_DES_CBC, noEncrypt, Bytes(16), CKR_KEY_FUNCTION_NOT_PERMITTED},
        {"DES IV of 16 bytes", Direction::kDecrypt, CKM_DES_CBC, noEncrypt, Bytes(16), CKR_MECHANISM_PARAM_INVALID},
        {"AES IV of 8 bytes", Direction::kEncrypt, CKM_AES_CBC, aes, Bytes(8), CKR_MECHANISM_PARAM_INVALID},
        {"parameter for ECB", Direction::kEncrypt, CKM_AES_ECB, aes, Bytes(16), CKR_MECHANISM_PARAM_INVALID},
        {"parameter for GOST ECB", Direction::kEncrypt, CKM_GOST28147_ECB, gost, Bytes(8), CKR_MECHANISM_PARAM_INVALID},
        {"no IV is zeros", Direction::kEncrypt, CKM_AES_CBC, aes, {}, CKR_OK},
        {"AES key, DES mechanism", Direction::kEncrypt, CKM_DES_CBC, aes, {}, CKR_KEY_TYPE_INCONSISTENT},
        {"CKA_ENCRYPT false", Direction::kEncrypt, CKM_DES_ECB, noEncrypt, {}, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {"decrypting with it", Direction::kDecrypt, CKM_DES_ECB, noEncrypt, {}, CKR_OK},
        {"public key decrypting", Direction::kDecrypt, CKM_AES_ECB, publicKeyHandle, {}, CKR_KEY_HANDLE_INVALID},
        {"free record", Direction::kEncrypt, CKM_AES_ECB, freeRecord, {}, CKR_OBJECT_HANDLE_INVALID},
        {"session key decrypting", Direction::kDecrypt, CKM_DES3_CBC, session, {}, CKR_OK},
        {"session key, other type", Direction::kDecrypt, CKM_AES_CBC, session, {}, CKR_KEY_TYPE_INCONSISTENT},
        {"unknown session object", Direction::kEncrypt, CKM_DES3_ECB, {7, 0xFF, 0xFF}, {}, CKR_FUNCTION_FAILED},
    };
    for (const Row& row : rows)
        EXPECT_EQ(initWith(row.direction, row.mechanism, row.handle, row.iv), row.expected) << row.what;

    OperationRecord state{};
    const CK_MECHANISM mechanism{CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(slots().encryptInit(host->context(), nullptr, nullptr, nullptr, &aes, &state), CKR_FUNCTION_FAILED);
    EXPECT_EQ(slots().encryptInit(host->context(), nullptr, nullptr, &mechanism, nullptr, &state), CKR_FUNCTION_FAILED);
    EXPECT_EQ(slots().decryptInit(host->context(), nullptr, nullptr, &mechanism, &aes, nullptr), CKR_FUNCTION_FAILED);
}

TEST_F(CipherFailures, LengthsAndBuffers) {
    const ObjectHandle des = key({CKK_DES, 8});
    const ObjectHandle aes = key({CKK_AES, 16});
    EXPECT_EQ(once(Direction::kEncrypt, CKM_DES_ECB, des, {}, Bytes(7)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(once(Direction::kDecrypt, CKM_DES_CBC_PAD, des, {}, Bytes(15)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(once(Direction::kEncrypt, CKM_AES_CBC_PAD, aes, {}, Bytes(32)).data.size(), 48u);

    OperationRecord state{};
    ASSERT_EQ(init(Direction::kEncrypt, CKM_AES_CBC_PAD, aes, {}, state), CKR_OK);
    const Bytes input(20, 7);
    Bytes output(31);
    CK_ULONG length = 31;
    EXPECT_EQ(slots().encrypt(host->context(), user(), nullptr, input.data(), 0, output.data(), &length, &aes, &state,
                              CKM_AES_CBC_PAD),
              CKR_DATA_LEN_RANGE);
    EXPECT_EQ(slots().encrypt(host->context(), user(), nullptr, nullptr, 20, output.data(), &length, &aes, &state,
                              CKM_AES_CBC_PAD),
              CKR_FUNCTION_FAILED);
    EXPECT_EQ(slots().encrypt(host->context(), user(), nullptr, input.data(), 20, output.data(), &length, &aes, &state,
                              CKM_AES_CBC_PAD),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(slots().encrypt(host->context(), user(), nullptr, input.data(), 20, output.data(), &length, &aes, &state,
                              kUnknownMechanism),
              CKR_MECHANISM_INVALID);
}

TEST_F(CipherFailures, UpdatesKeepTheRecordAndFinalsCheckIt) {
    const ObjectHandle des = key({CKK_DES, 8});
    const ObjectHandle gost = key({CKK_GOST28147, 32});
    OperationRecord state{};
    Bytes out;
    // 5 and 3 bytes of DES CBC: nothing, then one block, which becomes the
    // chaining value.
    ASSERT_EQ(init(Direction::kEncrypt, CKM_DES_CBC, des, {}, state), CKR_OK);
    ASSERT_EQ(update(Direction::kEncrypt, CKM_DES_CBC, des, state, Bytes(5, 1), out), CKR_OK);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(state.cipher.pendingCount, 5);
    ASSERT_EQ(update(Direction::kEncrypt, CKM_DES_CBC, des, state, Bytes(3, 2), out), CKR_OK);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), state.cipher.chainingValue));
    ASSERT_EQ(update(Direction::kEncrypt, CKM_DES_CBC, des, state, Bytes(3, 2), out), CKR_OK);
    EXPECT_EQ(final(Direction::kEncrypt, CKM_DES_CBC, des, state, out), CKR_DATA_LEN_RANGE);

    // Decryption keeps the last block back for the final call.
    const Bytes cipherText = once(Direction::kEncrypt, CKM_DES_CBC, des, {}, Bytes(16, 9)).data;
    out.clear();
    ASSERT_EQ(init(Direction::kDecrypt, CKM_DES_CBC, des, {}, state), CKR_OK);
    EXPECT_EQ(final(Direction::kDecrypt, CKM_DES_CBC, des, state, out), CKR_FUNCTION_FAILED);  // nothing pending
    ASSERT_EQ(update(Direction::kDecrypt, CKM_DES_CBC, des, state, cipherText, out), CKR_OK);
    EXPECT_EQ(out.size(), 8u);
    EXPECT_EQ(state.cipher.pendingCount, 8);
    ASSERT_EQ(final(Direction::kDecrypt, CKM_DES_CBC, des, state, out), CKR_OK);
    EXPECT_EQ(out, Bytes(16, 9));
    ASSERT_EQ(init(Direction::kDecrypt, CKM_DES_CBC, des, {}, state), CKR_OK);
    ASSERT_EQ(update(Direction::kDecrypt, CKM_DES_CBC, des, state, Bytes(3, 1), out), CKR_OK);
    EXPECT_EQ(final(Direction::kDecrypt, CKM_DES_CBC, des, state, out), CKR_ENCRYPTED_DATA_LEN_RANGE);

    // CFB ends with whatever is pending, unpadded.
    out.clear();
    ASSERT_EQ(init(Direction::kEncrypt, CKM_GOST28147, gost, {}, state), CKR_OK);
    ASSERT_EQ(update(Direction::kEncrypt, CKM_GOST28147, gost, state, Bytes(5, 4), out), CKR_OK);
    ASSERT_EQ(final(Direction::kEncrypt, CKM_GOST28147, gost, state, out), CKR_OK);
    EXPECT_EQ(out.size(), 5u);

    // Null pointers and a pending count past one block are refused, not read.
    CK_ULONG length = 8;
    EXPECT_EQ(
        slots().encryptFinal(host->context(), user(), nullptr, out.data(), &length, &gost, nullptr, CKM_GOST28147),
        CKR_FUNCTION_FAILED);
    EXPECT_EQ(slots().decryptFinal(host->context(), user(), nullptr, out.data(), nullptr, &gost, &state, CKM_GOST28147),
              CKR_FUNCTION_FAILED);
    state.cipher.pendingCount = 200;
    EXPECT_EQ(update(Direction::kEncrypt, CKM_GOST28147, gost, state, Bytes(5, 4), out), CKR_FUNCTION_FAILED);
    EXPECT_EQ(final(Direction::kDecrypt, CKM_GOST28147, gost, state, out), CKR_FUNCTION_FAILED);
}

// A last block that deciphers to bad padding: its last byte above the block
// size, zero, or not repeated as often as it says.
TEST_F(CipherFailures, BadPaddingIsNeverReturnedAsPlainText) {
    const ObjectHandle aes = key({CKK_AES, 16});
    for (const Bytes& tail : {Bytes{0x11}, Bytes{0x00}, Bytes{0x02, 0x03, 0x03}, Bytes{0x01, 0x10}}) {
        Bytes block(16, 0x10);
        std::copy(tail.begin(), tail.end(), block.end() - std::ptrdiff_t(tail.size()));
        const Bytes cipherText = once(Direction::kEncrypt, CKM_AES_CBC, aes, {}, block).data;
        EXPECT_EQ(once(Direction::kDecrypt, CKM_AES_CBC_PAD, aes, {}, cipherText).rv, CKR_ENCRYPTED_DATA_INVALID)
            << hex(tail);
        EXPECT_EQ(inPieces(Direction::kDecrypt, CKM_AES_CBC_PAD, aes, {}, cipherText, 16).rv,
                  CKR_ENCRYPTED_DATA_INVALID)
            << hex(tail);
    }
}

// The data calls are not told the mechanism of the initialisation: a key
// the card does not keep at 63 nn never reaches it as 0x50 + n.
TEST_F(CipherFailures, KeysTheCardDoesNotHoldNeverReachIt) {
    key({CKK_AES, 16});  // secret key 1: what 0x50 + 1 would name
    const ObjectHandle session = key({CKK_DES3, 24, KeyHome::kSession});
    const ObjectHandle publicKeyHandle = mustCreate(publicKey("rsa"));
    ASSERT_EQ(session.record, 1);
    ASSERT_EQ(publicKeyHandle.record, 1);
    OperationRecord state{};
    ASSERT_EQ(init(Direction::kEncrypt, CKM_DES3_ECB, session, {}, state), CKR_OK);
    const Bytes input(16, 5);
    Bytes output(16);
    CK_ULONG length = 16;
    host->clearExchanges();
    EXPECT_EQ(slots().encrypt(host->context(), user(), nullptr, input.data(), 16, output.data(), &length, &session,
                              &state, CKM_AES_ECB),
              CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(slots().encrypt(host->context(), user(), nullptr, input.data(), 16, output.data(), &length,
                              &publicKeyHandle, &state, CKM_AES_ECB),
              CKR_KEY_HANDLE_INVALID);
    EXPECT_TRUE(host->exchanges().empty());
}

struct FaultCase {
    const char* name;
    uint32_t mechanism;
    KeySpec key;
    Direction direction;
};
void PrintTo(const FaultCase& row, std::ostream* out) { *out << row.name; }

class EveryExchangeFails : public CipherFailures, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EveryExchangeFails, UpdateFailsAndLeavesTheRecord) {
    const FaultCase& row = GetParam();
    const ObjectHandle handle = key(row.key);
    OperationRecord state{};
    ASSERT_EQ(init(row.direction, row.mechanism, handle, Bytes(ivLengthOf(row.mechanism), 0x42), state), CKR_OK);
    const Bytes input = patternBytes(40, 3);
    Bytes out;
    ASSERT_EQ(update(row.direction, row.mechanism, handle, state, Bytes(3, 1), out), CKR_OK);  // something pending
    OperationRecord probe = state;
    host->clearExchanges();
    ASSERT_EQ(update(row.direction, row.mechanism, handle, probe, input, out), CKR_OK);
    const std::size_t exchanges = host->exchanges().size();
    ASSERT_GT(exchanges, 0u);
    for (const Fault& fault : {Fault::transport(), Fault::status(0x6F, 0x00)}) {
        for (std::size_t k = 1; k <= exchanges; ++k) {
            OperationRecord tried = state;
            host->failAt(k, fault);
            EXPECT_EQ(update(row.direction, row.mechanism, handle, tried, input, out), CKR_FUNCTION_FAILED)
                << "exchange " << k;
            EXPECT_TRUE(sameState(tried, state)) << "exchange " << k;
            host->clearFaults();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, EveryExchangeFails,
    ::testing::Values(
        FaultCase{"AesCbcPadEncrypt", CKM_AES_CBC_PAD, {CKK_AES, 16}, Direction::kEncrypt},
        FaultCase{"AesCbcPadDecrypt", CKM_AES_CBC_PAD, {CKK_AES, 16}, Direction::kDecrypt},
        FaultCase{"GostCfbDecrypt", CKM_GOST28147, {CKK_GOST28147, 32}, Direction::kDecrypt},
        FaultCase{"Des3ThreeKeyEncrypt", CKM_DES3_CBC, {CKK_DES3, 24, KeyHome::kTokenDes3}, Direction::kEncrypt}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace korva::test
