// What sealing the card's secrets costs: the first VERIFY of a process (the
// PIN derivation, then opening every sealed secret), a repeated VERIFY with
// the same PIN, and a GOST signature, on a card sealed at the default PIN
// cost against one at the lowest cost (whose derivation is about as cheap as
// the plain comparison of an unsealed card).
#include "sim/virtual_card.h"
#include "tests/support/temp_path.h"

#include <benchmark/benchmark.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace sim = korva::sim;
using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

const Bytes kSelectPins = hex("00A4080002051F");
const Bytes kVerifyUser = hex("00200007083132333435363738");
const Bytes kSigningKey = hex("0022C1B603830130");
const Bytes kSign = hex("002A9E9A20" + std::string(64, '7'));

void require(const sim::Answer& answer, const char* step) {
    if (answer.sw1 != 0x90 && answer.sw1 != 0x61) throw std::runtime_error(std::string("sealing bench: ") + step);
}

// A factory card with a GOST key in slot 30, saved and loaded: sealed.
const sim::VirtualCard& sealedCard(uint8_t cost) {
    static std::map<uint8_t, sim::VirtualCard> cards;
    if (const auto found = cards.find(cost); found != cards.end()) return found->second;
    sim::CardOptions options;
    options.pinKeyCost = cost;
    sim::VirtualCard card = sim::VirtualCard::makeFresh(options);
    require(card.transmit(kSelectPins), "select");
    require(card.transmit(kVerifyUser), "VERIFY");
    require(card.transmit(hex("8076113004F0300700")), "GOST key generation");
    const korva::test::TempPath file("korva-bench-sealed");
    card.save(file.path());
    return cards.emplace(cost, sim::VirtualCard::load(file.path())).first->second;
}

void label(benchmark::State& state) {
    state.SetLabel(state.range(0) == sim::CardOptions{}.pinKeyCost ? "sealed, default PIN cost"
                                                                   : "lowest PIN cost (as unsealed)");
}

void BM_firstVerify(benchmark::State& state) {
    const sim::VirtualCard& sealed = sealedCard(uint8_t(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        sim::VirtualCard card = sealed;  // a new process: nothing known of the PINs
        require(card.transmit(kSelectPins), "select");
        state.ResumeTiming();
        require(card.transmit(kVerifyUser), "VERIFY");
    }
    label(state);
}

void BM_repeatedVerify(benchmark::State& state) {
    sim::VirtualCard card = sealedCard(uint8_t(state.range(0)));
    require(card.transmit(kSelectPins), "select");
    require(card.transmit(kVerifyUser), "VERIFY");
    for (auto _ : state) require(card.transmit(kVerifyUser), "VERIFY");
    label(state);
}

void BM_gostSignatureAfterVerify(benchmark::State& state) {
    sim::VirtualCard card = sealedCard(uint8_t(state.range(0)));
    require(card.transmit(kSelectPins), "select");
    require(card.transmit(kVerifyUser), "VERIFY");
    require(card.transmit(kSigningKey), "signing key");
    for (auto _ : state) {
        require(card.transmit(kVerifyUser), "VERIFY");
        require(card.transmit(kSign), "signature");
    }
    label(state);
}

constexpr int kDefaultCost = sim::CardOptions{}.pinKeyCost;
BENCHMARK(BM_firstVerify)->Arg(1)->Arg(kDefaultCost)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_repeatedVerify)->Arg(1)->Arg(kDefaultCost)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_gostSignatureAfterVerify)->Arg(1)->Arg(kDefaultCost)->Unit(benchmark::kMicrosecond);

}  // namespace
