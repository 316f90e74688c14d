// The token the slot and card benchmarks run on: initialised once per
// process, holding 18 data objects and a GOST R 34.10-2012 key pair (20
// objects), and copied into a fresh test host for each benchmark.
#pragma once

#include "tests/support/test_host.h"

#include <korva/module.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace korva::bench {

using test::Bytes;
using test::TestHost;

inline constexpr const char* kUserPin = "47102958";  // the user PIN initialisation gives
inline constexpr int kDataObjects = 18;

struct BenchToken {
    sim::VirtualCard card;
    Bytes settings;  // the 17-byte settings record, as slot 0 reads it
    std::vector<abi::ObjectHandle> dataObjects;
    abi::ObjectHandle publicKey{};
    abi::ObjectHandle privateKey{};
};

// Throws std::runtime_error when a step of the set-up fails.
const BenchToken& benchToken();

// A host on a copy of the token, with its settings.
std::unique_ptr<TestHost> hostOnToken();

// The slot calls the benchmarks measure; each returns the first result
// that is not CKR_OK.
abi::CK_RV tokenInfo(TestHost& host);
// Slot 14, then slot 62 until the walk ends; `found` receives the count.
abi::CK_RV findAllObjects(TestHost& host, const abi::LoginRecord* user, int& found);
abi::CK_RV allAttributes(TestHost& host, const abi::ObjectHandle& handle);
// Slots 23 and 24: a GOST R 34.10 signature of a 32-byte hash on the card.
abi::CK_RV signGostHash(TestHost& host, const abi::LoginRecord* user);

// Counts the host's exchanges as the benchmark's "apdus" counter (per
// iteration) and clears the host's log so that it does not grow.
class ApduCounter {
public:
    explicit ApduCounter(TestHost& host) : host_(host) { host_.clearExchanges(); }
    void take() {
        total_ += double(host_.exchanges().size());
        host_.clearExchanges();
    }
    void report(benchmark::State& state) const {
        state.counters["apdus"] = benchmark::Counter(total_, benchmark::Counter::kAvgIterations);
    }

private:
    TestHost& host_;
    double total_ = 0;
};

}  // namespace korva::bench
