// The virtual card's own cost: the command sequences of whole slot calls,
// recorded once through the module and replayed straight into a card copy,
// single commands picked out of them, and copying and loading a card.
#include "bench/bench_token.h"

#include "tests/support/temp_path.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace {

using namespace korva::bench;
namespace abi = korva::abi;
namespace sim = korva::sim;

// The commands the module sends for one slot call on the bench token.
std::vector<Bytes> recordTrace(const std::function<abi::CK_RV(TestHost&, const abi::LoginRecord*)>& call) {
    auto host = hostOnToken();
    const abi::LoginRecord* user = host->login(1, kUserPin);
    if (call(*host, user) != abi::CKR_OK) throw std::runtime_error("the recorded slot call failed");
    std::vector<Bytes> trace;
    for (const auto& exchange : host->exchanges()) trace.push_back(exchange.command);
    return trace;
}

const std::vector<Bytes>& trace(int scenario) {
    static const std::vector<Bytes> traces[] = {
        recordTrace([](TestHost& host, const abi::LoginRecord*) { return tokenInfo(host); }),
        recordTrace([](TestHost& host, const abi::LoginRecord* user) {
            int found = 0;
            return findAllObjects(host, user, found);
        }),
        recordTrace(
            [](TestHost& host, const abi::LoginRecord*) { return allAttributes(host, benchToken().privateKey); }),
        recordTrace([](TestHost& host, const abi::LoginRecord* user) { return signGostHash(host, user); }),
    };
    return traces[scenario];
}
const char* const kScenarioNames[] = {"token information", "find 20 objects", "private key attributes",
                                      "GOST signature"};

// items_per_second is APDUs per second.
void BM_replay(benchmark::State& state) {
    const std::vector<Bytes>& commands = trace(int(state.range(0)));
    sim::VirtualCard card = benchToken().card;
    for (auto _ : state) {
        for (const Bytes& command : commands) benchmark::DoNotOptimize(card.transmit(command));
    }
    state.counters["apdus"] = double(commands.size());
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(commands.size()));
    state.SetLabel(kScenarioNames[state.range(0)]);
}
BENCHMARK(BM_replay)->DenseRange(0, 3);

// One command of a trace, repeated on a card brought to the state in which
// the module sent it: the first command of `scenario` that starts with
// `header` (CLA INS and, when given, P1 P2).
void commandOf(benchmark::State& state, int scenario, const Bytes& header, const char* name) {
    const std::vector<Bytes>& commands = trace(scenario);
    sim::VirtualCard card = benchToken().card;
    const Bytes* chosen = nullptr;
    for (const Bytes& command : commands) {
        if (command.size() >= header.size() && std::equal(header.begin(), header.end(), command.begin())) {
            chosen = &command;
            break;
        }
        card.transmit(command);
    }
    if (chosen == nullptr) {
        state.SkipWithError("the command is not in the trace");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(card.transmit(*chosen));
    const sim::Answer answer = card.transmit(*chosen);
    if (answer.sw1 != 0x90 && answer.sw1 != 0x61) state.SkipWithError("the command failed on the card");
    state.SetLabel(name);
}

void BM_selectPath(benchmark::State& state) { commandOf(state, 0, {0x00, 0xA4, 0x08}, "SELECT by path"); }
void BM_readRecord(benchmark::State& state) { commandOf(state, 1, {0x00, 0xB2}, "READ RECORD"); }
void BM_readPublicKey(benchmark::State& state) { commandOf(state, 1, {0x00, 0x46, 0x01}, "READ PUBLIC KEY"); }
void BM_verifyPin(benchmark::State& state) { commandOf(state, 3, {0x00, 0x20}, "VERIFY"); }
void BM_gostSignature(benchmark::State& state) {
    commandOf(state, 3, {0x00, 0x2A, 0x9E, 0x9A}, "COMPUTE DIGITAL SIGNATURE");
}
BENCHMARK(BM_selectPath);
BENCHMARK(BM_readRecord);
BENCHMARK(BM_readPublicKey);
BENCHMARK(BM_verifyPin);
BENCHMARK(BM_gostSignature);

// What every test that starts from a prepared card pays.
void BM_copyCard(benchmark::State& state) {
    const sim::VirtualCard& card = benchToken().card;
    for (auto _ : state) {
        sim::VirtualCard copy = card;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_copyCard);

void BM_loadCardFile(benchmark::State& state) {
    korva::test::TempPath file("korva-bench");
    benchToken().card.save(file.path());
    for (auto _ : state) benchmark::DoNotOptimize(sim::VirtualCard::load(file.path()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(file.path())));
}
BENCHMARK(BM_loadCardFile);

}  // namespace
