// Whole slot calls through the test host and the loaded module, over the
// virtual card. "apdus" is the number of card exchanges per call: on a real
// reader each one costs far more than anything measured here.
#include "bench/bench_token.h"

#include <korva/pkcs11_constants.h>

namespace {

using namespace korva::bench;
namespace abi = korva::abi;

// One benchmark per slot call: `call` runs it once and returns its result.
template <typename Call>
void measure(benchmark::State& state, TestHost& host, Call call) {
    ApduCounter apdus(host);
    for (auto _ : state) {
        if (call() != abi::CKR_OK) state.SkipWithError("the slot call failed");
        apdus.take();
    }
    apdus.report(state);
}

void BM_tokenInfo(benchmark::State& state) {
    auto host = hostOnToken();
    measure(state, *host, [&] { return tokenInfo(*host); });
}
BENCHMARK(BM_tokenInfo);

// Slot 7: VERIFY, then the module's user-session work.
void BM_login(benchmark::State& state) {
    auto host = hostOnToken();
    const std::string pin = kUserPin;
    measure(state, *host, [&] {
        return host->table()->login(host->context(), host->settings(), reinterpret_cast<const uint8_t*>(pin.data()),
                                    abi::CK_ULONG(pin.size()), 1);
    });
}
BENCHMARK(BM_login);

void BM_findAllObjects(benchmark::State& state) {
    auto host = hostOnToken();
    abi::LoginRecord* user = host->login(1, kUserPin);
    int found = 0;
    measure(state, *host, [&] { return findAllObjects(*host, user, found); });
    state.counters["objects"] = found;
}
BENCHMARK(BM_findAllObjects)->Unit(benchmark::kMillisecond);

// Slot 64 on a data object (0) and on the private key (1).
void BM_allAttributes(benchmark::State& state) {
    auto host = hostOnToken();
    const abi::ObjectHandle handle = state.range(0) == 0 ? benchToken().dataObjects.back() : benchToken().privateKey;
    measure(state, *host, [&] { return allAttributes(*host, handle); });
    state.SetLabel(state.range(0) == 0 ? "data object" : "private key");
}
BENCHMARK(BM_allAttributes)->Arg(0)->Arg(1);

// Slot 13 for the label of a data object.
void BM_attributeValue(benchmark::State& state) {
    auto host = hostOnToken();
    abi::LoginRecord* user = host->login(1, kUserPin);
    const abi::ObjectHandle handle = benchToken().dataObjects.back();
    uint8_t label[64];
    measure(state, *host, [&] {
        abi::CK_ATTRIBUTE query{abi::CKA_LABEL, label, sizeof label};
        return host->table()->getAttributeValue(host->context(), user, host->settings(), &handle, &query, 1);
    });
}
BENCHMARK(BM_attributeValue);

void BM_signGostHash(benchmark::State& state) {
    auto host = hostOnToken();
    abi::LoginRecord* user = host->login(1, kUserPin);
    measure(state, *host, [&] { return signGostHash(*host, user); });
}
BENCHMARK(BM_signGostHash)->Unit(benchmark::kMillisecond);

// Slots 21 and 22 over 1 MiB, for every digest mechanism.
const abi::CK_MECHANISM_TYPE kDigests[] = {
    abi::CKM_MD5,    abi::CKM_SHA_1,     abi::CKM_SHA224,           abi::CKM_SHA256,           abi::CKM_SHA384,
    abi::CKM_SHA512, abi::CKM_GOSTR3411, abi::CKM_GOSTR3411_12_256, abi::CKM_GOSTR3411_12_512,
};
const char* const kDigestNames[] = {"MD5",     "SHA-1",   "SHA-224",       "SHA-256",      "SHA-384",
                                    "SHA-512", "GOST 94", "GOST 2012-256", "GOST 2012-512"};

void BM_digest1MiB(benchmark::State& state) {
    auto host = hostOnToken();
    const abi::CK_MECHANISM mechanism{kDigests[state.range(0)], nullptr, 0};
    const Bytes data(1 << 20, 0xA7);
    measure(state, *host, [&] {
        abi::OperationRecord record{};
        uint8_t digest[64];
        abi::CK_ULONG length = sizeof digest;
        const abi::CK_RV rv = host->table()->digestInit(host->context(), nullptr, nullptr, &mechanism, &record);
        if (rv != abi::CKR_OK) return rv;
        return host->table()->digest(host->context(), nullptr, nullptr, data.data(), abi::CK_ULONG(data.size()), digest,
                                     &length, &record, mechanism.mechanism);
    });
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.SetLabel(kDigestNames[state.range(0)]);
}
BENCHMARK(BM_digest1MiB)->DenseRange(0, 8)->Unit(benchmark::kMillisecond);

}  // namespace
