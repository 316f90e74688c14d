// The same PKCS#11 calls against the token's library (on its built-in
// virtual card) and against SoftHSM2, in one run, with the ratios printed at
// the end; plus GOST R 34.10-2012 signing, which SoftHSM2 lacks, in
// signatures per second; and the object cache's own cost beside one exchange
// with the virtual card.
//
//   korva_bench_pkcs11 [--softhsm /path/libsofthsm2.so] [benchmark flags]
//
// Both tokens live in a temporary folder made for the run: a fresh card file
// for the library, a private token folder for SoftHSM2.
#include "bench/pkcs11_library.h"
#include "host/object_cache.h"
#include "sim/virtual_card.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using korva::bench::kGost2012Sign;

// One PKCS#11 library with a token set up for the measurements.
class Provider : public korva::bench::Pkcs11Library {
public:
    Provider(std::string name, const std::string& path) : Pkcs11Library(std::move(name), path) {
        check(f()->C_Initialize(nullptr), "C_Initialize");
        slot_ = slotWithToken(false);
        initToken(slot_, "bench");
        // SoftHSM2 moves an initialised token to a new slot number.
        slot_ = slotWithToken(true);
        session_ = userSession(slot_);
        makeDataObjects(50);
        rsaKey_ = makeKeyPair(CKM_RSA_PKCS_KEY_PAIR_GEN, true);
        if (supports(kGost2012Sign)) gostKey_ = makeKeyPair(CKM_GOSTR3410_KEY_PAIR_GEN, false);
    }

    ck_session_handle_t session() const { return session_; }
    ck_object_handle_t rsaKey() const { return rsaKey_; }
    ck_object_handle_t gostKey() const { return gostKey_; }

private:
    ck_slot_id_t slotWithToken(bool initialised) const {
        unsigned long count = 0;
        check(f()->C_GetSlotList(1, nullptr, &count), "C_GetSlotList");
        std::vector<ck_slot_id_t> slots(count);
        check(f()->C_GetSlotList(1, slots.data(), &count), "C_GetSlotList");
        for (ck_slot_id_t slot : slots) {
            ck_token_info info{};
            if (f()->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
            if (((info.flags & CKF_TOKEN_INITIALIZED) != 0) == initialised) return slot;
        }
        throw std::runtime_error(name() + ": no suitable slot");
    }

    bool supports(unsigned long mechanism) const {
        ck_mechanism_info info{};
        return f()->C_GetMechanismInfo(slot_, mechanism, &info) == CKR_OK;
    }

    void makeDataObjects(int count) {
        unsigned long dataClass = CKO_DATA;
        unsigned char yes = 1, value[64] = {};
        for (int i = 0; i < count; ++i) {
            const std::string label = "object " + std::to_string(i);
            ck_attribute attributes[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                                         {CKA_TOKEN, &yes, 1},
                                         {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                                         {CKA_VALUE, value, sizeof value}};
            ck_object_handle_t object = 0;
            check(f()->C_CreateObject(session_, attributes, 4, &object), "C_CreateObject");
        }
    }

    ck_object_handle_t makeKeyPair(unsigned long mechanismType, bool rsa) {
        unsigned char yes = 1, id[] = {rsa ? uint8_t(1) : uint8_t(2)};
        unsigned long bits = 1024;
        unsigned char exponent[] = {1, 0, 1};
        std::vector<ck_attribute> publicTemplate = {{CKA_TOKEN, &yes, 1}, {CKA_VERIFY, &yes, 1}, {CKA_ID, id, 1}};
        if (rsa) {
            publicTemplate.push_back({CKA_MODULUS_BITS, &bits, sizeof bits});
            publicTemplate.push_back({CKA_PUBLIC_EXPONENT, exponent, sizeof exponent});
        }
        ck_attribute privateTemplate[] = {
            {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}, {CKA_ID, id, 1}};
        ck_mechanism mechanism{mechanismType, nullptr, 0};
        ck_object_handle_t publicKey = 0, privateKey = 0;
        check(f()->C_GenerateKeyPair(session_, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                     privateTemplate, 4, &publicKey, &privateKey),
              "C_GenerateKeyPair");
        return privateKey;
    }

    ck_slot_id_t slot_ = 0;
    ck_session_handle_t session_ = 0;
    ck_object_handle_t rsaKey_ = 0, gostKey_ = 0;
};

void digestMiB(benchmark::State& state, Provider& p) {
    std::vector<unsigned char> data(1 << 20, 0x5A);
    ck_mechanism sha256{CKM_SHA256, nullptr, 0};
    unsigned char digest[32];
    for (auto _ : state) {
        unsigned long length = sizeof digest;
        p.check(p.f()->C_DigestInit(p.session(), &sha256), "C_DigestInit");
        p.check(p.f()->C_Digest(p.session(), data.data(), data.size(), digest, &length), "C_Digest");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void random4KiB(benchmark::State& state, Provider& p) {
    std::vector<unsigned char> buffer(4096);
    for (auto _ : state)
        p.check(p.f()->C_GenerateRandom(p.session(), buffer.data(), buffer.size()), "C_GenerateRandom");
}

void sign(benchmark::State& state, Provider& p, unsigned long mechanismType, ck_object_handle_t key) {
    ck_mechanism mechanism{mechanismType, nullptr, 0};
    unsigned char data[32] = {1, 2, 3}, signature[256];
    for (auto _ : state) {
        unsigned long length = sizeof signature;
        p.check(p.f()->C_SignInit(p.session(), &mechanism, key), "C_SignInit");
        p.check(p.f()->C_Sign(p.session(), data, sizeof data, signature, &length), "C_Sign");
    }
    state.counters["signatures/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void findObjects(benchmark::State& state, Provider& p) {
    unsigned long dataClass = CKO_DATA;
    ck_attribute byClass{CKA_CLASS, &dataClass, sizeof dataClass};
    ck_object_handle_t found[64];
    unsigned long count = 0;
    for (auto _ : state) {
        p.check(p.f()->C_FindObjectsInit(p.session(), &byClass, 1), "C_FindObjectsInit");
        p.check(p.f()->C_FindObjects(p.session(), found, 64, &count), "C_FindObjects");
        p.check(p.f()->C_FindObjectsFinal(p.session()), "C_FindObjectsFinal");
    }
    if (count != 50) state.SkipWithError("the search did not find the 50 objects");
    state.counters["objects"] = double(count);
}

// The object cache's own CPU cost, beside one exchange with the virtual card:
// a search over 50 cached objects and a cached attribute read must each
// cost less than the exchange they save.
struct CachedToken {
    korva::host::ObjectCache cache;
    CachedToken() {
        cache.startWalk(0, true);
        for (uint8_t record = 1; record <= 50; ++record) {
            const std::string label = "object " + std::to_string(record);
            uint32_t dataClass = CKO_DATA;
            uint8_t yes = 1, value[64] = {};
            korva::abi::CK_ATTRIBUTE attributes[] = {
                {CKA_CLASS, &dataClass, 4},
                {CKA_TOKEN, &yes, 1},
                {CKA_LABEL, const_cast<char*>(label.data()), uint32_t(label.size())},
                {CKA_VALUE, value, sizeof value}};
            cache.noteWalked({record, 0x50, 0x07}, CKO_DATA, false, {attributes, 4});
        }
        cache.finishWalk(0, false, [] { return std::optional<uint32_t>(1); });
    }
};

void cachedSearch(benchmark::State& state) {
    CachedToken token;
    unsigned long dataClass = CKO_DATA;
    ck_attribute byClass{CKA_CLASS, &dataClass, sizeof dataClass};
    for (auto _ : state) {
        size_t found = 0;
        token.cache.forEachFrom(0, [&](const korva::host::CachedObject& object) {
            found += object.attributes().matches(&byClass, 1) ? 1 : 0;
        });
        benchmark::DoNotOptimize(found);
    }
}

void cachedRead(benchmark::State& state) {
    CachedToken token;
    char label[32];
    for (auto _ : state) {
        ck_attribute read{CKA_LABEL, label, sizeof label};
        const korva::host::CachedObject* object = token.cache.find({25, 0x50, 0x07}, false);
        benchmark::DoNotOptimize(object->attributes().fill(&read, 1, std::nullopt));
    }
}

void virtualCardExchange(benchmark::State& state) {
    korva::sim::VirtualCard card = korva::sim::VirtualCard::makeFresh();
    const uint8_t selectMaster[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    for (auto _ : state) benchmark::DoNotOptimize(card.transmit(selectMaster));
}

// Remembers each run's time per iteration, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void printRatios(const std::vector<std::string>& operations) const {
        std::printf("\nTime per call, token library / SoftHSM2 (above 1: the token library is slower)\n");
        for (const std::string& operation : operations) {
            const auto ours = times_.find(operation + "/korva"), theirs = times_.find(operation + "/softhsm2");
            if (ours == times_.end() || theirs == times_.end() || theirs->second == 0) continue;
            std::printf("  %-22s %10.2f\n", operation.c_str(), ours->second / theirs->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

std::string argument(int& argc, char** argv, const std::string& flag, std::string fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] != flag) continue;
        std::string value = argv[i + 1];
        for (int j = i; j + 2 <= argc; ++j) argv[j] = argv[j + 2];
        argc -= 2;
        return value;
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string softhsm = argument(argc, argv, "--softhsm", "/usr/lib/softhsm/libsofthsm2.so");
    const auto folder = std::filesystem::temp_directory_path() / ("korva-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder / "softhsm-tokens");
    setenv("KORVA_CARDS", (folder / "bench.card").c_str(), 1);
    setenv("XDG_CACHE_HOME", (folder / "user-cache").c_str(), 1);  // what the library keeps between processes
    {
        std::ofstream config(folder / "softhsm2.conf");
        config << "directories.tokendir = " << (folder / "softhsm-tokens").string() << "\nobjectstore.backend = file\n";
    }
    setenv("SOFTHSM2_CONF", (folder / "softhsm2.conf").c_str(), 1);

    std::vector<std::unique_ptr<Provider>> providers;
    try {
        providers.push_back(std::make_unique<Provider>("korva", KORVA_PKCS11_PATH));
        providers.push_back(std::make_unique<Provider>("softhsm2", softhsm));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korva_bench_pkcs11: %s\n", error.what());
        if (providers.empty()) return 1;  // SoftHSM2 missing: measure the token alone
    }
    const std::vector<std::string> operations = {"digest_sha256_1MiB", "generate_random_4KiB", "sign_rsa1024_pkcs1",
                                                 "find_objects_50"};
    for (const auto& provider : providers) {
        Provider& p = *provider;
        benchmark::RegisterBenchmark(("digest_sha256_1MiB/" + p.name()).c_str(), digestMiB, std::ref(p))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("generate_random_4KiB/" + p.name()).c_str(), random4KiB, std::ref(p))
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("sign_rsa1024_pkcs1/" + p.name()).c_str(), sign, std::ref(p), CKM_RSA_PKCS,
                                     p.rsaKey())
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("find_objects_50/" + p.name()).c_str(), findObjects, std::ref(p))
            ->Unit(benchmark::kMillisecond);
        if (p.gostKey() != 0)
            benchmark::RegisterBenchmark(("sign_gost2012_256/" + p.name()).c_str(), sign, std::ref(p), kGost2012Sign,
                                         p.gostKey())
                ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("cache_search_50_objects", cachedSearch)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("cache_read_label", cachedRead)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("virtual_card_one_exchange", virtualCardExchange)->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios(operations);
    for (const auto& provider : providers) provider->f()->C_Finalize(nullptr);
    std::filesystem::remove_all(folder);
    return 0;
}
