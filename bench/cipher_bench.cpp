// GOST 28147-89: the module's own ECB against the GOST engine's block
// cipher over 1 MiB in one run (the engine has no ECB mode; its CBC with a
// zero IV costs one block encryption per 8 bytes, as ECB does), and whole
// encryption calls (slots 29 and 30) over the virtual card.
#include "bench/bench_token.h"
#include "ciphers/gost28147.h"

#include "common/openssl_ptr.h"
#include "tests/support/host_template.h"

#include <korva/pkcs11_constants.h>

#include <openssl/evp.h>

#include <array>
#include <chrono>

namespace {

using namespace korva::bench;
namespace abi = korva::abi;
namespace ciphers = korva::ciphers;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1 << 20;
constexpr std::array<uint8_t, ciphers::kGostKeyBytes> kKey = {
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

bool engineBlocks(const Bytes& in, Bytes& out) {
    const EVP_CIPHER* cipher = EVP_get_cipherbyname("gost89-cbc");
    const korva::EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    const uint8_t iv[8] = {};
    int length = 0;
    return cipher != nullptr && EVP_EncryptInit_ex(context.get(), cipher, nullptr, kKey.data(), iv) == 1 &&
           EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_SET_SBOX, 0,
                               const_cast<char*>("id-Gost28147-89-CryptoPro-A-ParamSet")) > 0 &&
           EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
           EVP_EncryptUpdate(context.get(), out.data(), &length, in.data(), int(in.size())) == 1;
}

void BM_gostEcbAgainstEngine1MiB(benchmark::State& state) {
    const Bytes in(kMiB, 0x5C);
    Bytes out(kMiB);
    double ours = 0;
    double engine = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!ciphers::gostEcb(5, kKey, in, out, ciphers::GostDirection::kEncrypt))
            state.SkipWithError("gostEcb failed");
        const auto middle = Clock::now();
        if (!engineBlocks(in, out)) state.SkipWithError("the GOST engine is missing");
        const auto end = Clock::now();
        ours += std::chrono::duration<double, std::milli>(middle - start).count();
        engine += std::chrono::duration<double, std::milli>(end - middle).count();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ours_ms"] = benchmark::Counter(ours, benchmark::Counter::kAvgIterations);
    state.counters["engine_ms"] = benchmark::Counter(engine, benchmark::Counter::kAvgIterations);
    state.counters["ours_per_engine"] = engine > 0 ? ours / engine : 0;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(2 * kMiB));
}
BENCHMARK(BM_gostEcbAgainstEngine1MiB)->Unit(benchmark::kMillisecond);

struct SlotCase {
    const char* label;
    abi::CK_MECHANISM_TYPE mechanism;
    abi::CK_KEY_TYPE keyType;
    std::size_t keyLength;
};
const SlotCase kSlotCases[] = {
    {"AES-CBC-PAD on the card", abi::CKM_AES_CBC_PAD, abi::CKK_AES, 16},
    {"GOST CFB, key read from the card", abi::CKM_GOST28147, abi::CKK_GOST28147, 32},
};

abi::ObjectHandle makeSecretKey(TestHost& host, const SlotCase& row) {
    korva::test::Template key;
    key.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, row.keyType);
    key.flag(abi::CKA_TOKEN, row.keyType != abi::CKK_GOST28147).bytes(abi::CKA_VALUE, Bytes(row.keyLength, 0x3A));
    if (row.keyType == abi::CKK_GOST28147) {
        key.bytes(abi::CKA_GOST28147_PARAMS, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01});
    }
    abi::ObjectHandle handle{};
    abi::ObjectSummary summary{};
    if (host.table()->createObject(host.contextPointer(), host.login(1, kUserPin), host.settings(), key.data(),
                                   key.size(), &handle, &summary) != abi::CKR_OK) {
        throw std::runtime_error("secret key for the benchmark");
    }
    return handle;
}

// Slot 29, then slot 30 over 256 bytes (two card pieces for AES).
void BM_encryptSlot256(benchmark::State& state) {
    const SlotCase& row = kSlotCases[state.range(0)];
    auto host = hostOnToken();
    const abi::ObjectHandle key = makeSecretKey(*host, row);
    abi::LoginRecord* user = host->login(1, kUserPin);
    const abi::CK_MECHANISM mechanism{row.mechanism, nullptr, 0};
    const Bytes data(256, 0x77);
    Bytes out(272);
    ApduCounter apdus(*host);
    for (auto _ : state) {
        abi::OperationRecord record{};
        abi::CK_ULONG length = abi::CK_ULONG(out.size());
        if (host->table()->encryptInit(host->context(), nullptr, nullptr, &mechanism, &key, &record) != abi::CKR_OK ||
            host->table()->encrypt(host->context(), user, nullptr, data.data(), abi::CK_ULONG(data.size()), out.data(),
                                   &length, &key, &record, row.mechanism) != abi::CKR_OK) {
            state.SkipWithError("the encryption failed");
        }
        apdus.take();
    }
    apdus.report(state);
    state.SetLabel(row.label);
}
BENCHMARK(BM_encryptSlot256)->DenseRange(0, 1);

}  // namespace
