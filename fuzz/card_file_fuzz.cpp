// Arbitrary card files into VirtualCard::load. The input is the payload of
// a card file of the current format, or a whole card file whose version and
// payload are taken (a file of the first format is sealed on loading, at the
// lowest PIN derivation cost); the harness
// seals it with the header and checksum, so that the fuzzer reaches the
// parser rather than the checksum. A file that loads must behave as a card:
// it answers a round of read-only commands without changing, and saves
// and loads back to the same tree.
#include "tests/support/temp_path.h"

#include "sim/virtual_card.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using korva::sim::VirtualCard;
using korva::test::TempPath;
using Bytes = std::vector<uint8_t>;

// "KORVASIM" | version u16 | payload length u32 | payload | SHA-256 of all before it.
constexpr char kMagic[] = "KORVASIM";
constexpr size_t kMagicLength = 8;
constexpr size_t kHeaderLength = kMagicLength + 2 + 4;

constexpr uint8_t kCurrentVersion = 2;

Bytes sealed(const uint8_t* data, size_t size) {
    uint8_t version[2] = {0x00, kCurrentVersion};
    if (size >= kHeaderLength + SHA256_DIGEST_LENGTH && std::equal(kMagic, kMagic + kMagicLength, data)) {
        std::copy(data + kMagicLength, data + kMagicLength + 2, version);
        data += kHeaderLength;
        size -= kHeaderLength + SHA256_DIGEST_LENGTH;
    }
    Bytes file(kMagic, kMagic + kMagicLength);
    file.insert(file.end(), version, version + 2);
    for (int shift = 24; shift >= 0; shift -= 8) file.push_back(uint8_t(size >> shift));
    file.insert(file.end(), data, data + size);
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(file.data(), file.size(), digest);
    file.insert(file.end(), digest, digest + sizeof digest);
    return file;
}

// Selections of the token's files, the PIN retry query, the card
// information and a public key: what the module asks a card it meets.
const Bytes kCommands[] = {
    {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00},
    {0x00, 0xA4, 0x08, 0x00, 0x04, 0xA1, 0xBC, 0x7F, 0x01},
    {0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x00},
    {0x00, 0xB2, 0x01, 0x04, 0xFF},
    {0x00, 0xA4, 0x09, 0x00, 0x02, 0x50, 0x32},
    {0x00, 0xB0, 0x00, 0x00, 0x00},
    {0x00, 0xA4, 0x08, 0x00, 0x02, 0x05, 0x1F},
    {0x00, 0x20, 0x00, 0x07, 0x00},
    {0x00, 0x46, 0x01, 0x30, 0x00},
    {0x80, 0x78, 0x00, 0x00},
    {0x00, 0xC0, 0x00, 0x00, 0x7F},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TempPath input("korva-fuzz-input", TempPath::Storage::memoryWhereAvailable);
    static const TempPath saved("korva-fuzz-saved", TempPath::Storage::memoryWhereAvailable);
    const Bytes file = sealed(data, size);
    std::ofstream(input.path(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));

    std::optional<VirtualCard> card;
    try {
        card.emplace(VirtualCard::load(input.path(), 1));
    } catch (const std::runtime_error&) {
        return 0;  // refused: the only failure load may report
    }
    if (card->freeMemory() > card->options().memorySize) std::abort();
    const std::string tree = card->dumpTree();
    for (const Bytes& command : kCommands) {
        if (card->transmit(command).data.size() > 256) std::abort();
    }
    // Selections and queries change nothing that is kept.
    if (card->dumpTree() != tree) std::abort();
    card->save(saved.path());
    if (VirtualCard::load(saved.path()).dumpTree() != tree) std::abort();
    return 0;
}
