// Arbitrary command sequences into the virtual card. The input is a list of
// command APDUs, each after its length byte (FF: 255 plus the next byte, for
// extended commands); a length running past the input takes what is left.
// The card starts factory-fresh with a fixed random seed, the card the seed
// corpus was recorded on, so recorded sequences (a token initialisation, a
// data object's life, a key pair and a signature) replay and the fuzzer
// mutates from there. Key generation draws on the system's generator, so
// only a recorded signature check fails on replay: the new key differs.
//
// Besides not crashing, the card must keep its promises: no answer carries
// more than 256 bytes, the free memory never exceeds the total, and every
// state the commands reach saves to a card file that loads back to the same
// file tree.
#include "tests/support/temp_path.h"

#include "sim/virtual_card.h"

#include <algorithm>
#include <cstdlib>

namespace {

using korva::sim::VirtualCard;
using korva::test::TempPath;

constexpr uint64_t kCorpusSeed = 11;
constexpr size_t kMaxAnswerData = 256;

void requireRoundTrip(const VirtualCard& card) {
    static const TempPath file("korva-fuzz-apdus", TempPath::Storage::memoryWhereAvailable);
    card.save(file.path());
    const VirtualCard loaded = VirtualCard::load(file.path());
    // A loaded card is sealed; so is the card after a reset.
    VirtualCard sealed = card;
    sealed.reset();
    if (loaded.dumpTree() != sealed.dumpTree() || loaded.freeMemory() != card.freeMemory()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korva::sim::CardOptions options;
    options.randomSeed = kCorpusSeed;
    options.pinKeyCost = 1;  // VERIFY derives a key: cheaply, for speed
    VirtualCard card = VirtualCard::makeFresh(options);
    size_t at = 0;
    while (at < size) {
        size_t length = data[at++];
        if (length == 0xFF && at < size) length += data[at++];
        length = std::min(length, size - at);
        const korva::sim::Answer answer = card.transmit({data + at, length});
        at += length;
        if (answer.data.size() > kMaxAnswerData) std::abort();
        if (card.freeMemory() > card.options().memorySize) std::abort();
    }
    requireRoundTrip(card);
    return 0;
}
