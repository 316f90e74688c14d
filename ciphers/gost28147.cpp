#include "ciphers/gost28147.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <bit>

namespace korva::ciphers {
namespace {

// An S-box set: row r substitutes bits 4r..4r+3 of the round input.
using SBox = std::array<std::array<uint8_t, 16>, 8>;

// Each set written as 8 rows of 16 hex digits, row 0 first.
consteval SBox sboxFromHex(const char (&text)[129]) {
    SBox box{};
    for (std::size_t i = 0; i < 128; ++i) {
        const char c = text[i];
        box[i / 16][i % 16] = uint8_t(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return box;
}

consteval bool everyRowIsAPermutation(const SBox& box) {
    for (const auto& row : box) {
        unsigned seen = 0;
        for (uint8_t value : row) seen |= 1u << value;
        if (seen != 0xFFFF) return false;
    }
    return true;
}

// The S-boxes published for the CryptoPro parameter sets A to D.
// clang-format off
constexpr SBox kCryptoProA = sboxFromHex(
    "96328B17A4EFC0D5" "37E98AF0526CB4D1" "E462B3D8CF5A0719" "E7ACD13902B4F856"
    "B5198DF0E423C7A6" "3ADC120B75948FE6" "1D297A608C45F3BE" "BAF50CE8623917D4");
constexpr SBox kCryptoProB = sboxFromHex(
    "84B135092EACD67F" "012A4D5C973FB86E" "EC0A92DB758F3614" "750DB6123ACF4E98"
    "27CF95AB140D68E3" "83264DEBC17FA095" "52AB91C374D06F8E" "04BE8371A296FD5C");
constexpr SBox kCryptoProC = sboxFromHex(
    "1BC29D0F458EA763" "017DB4528EFC9A63" "825049FA37CD6E1B" "36015DA8B297EFC4"
    "8DB0451293CE6FA7" "C9B18E247365A0FD" "A968DE20F35B41C7" "7405A2FEC61BD938");
constexpr SBox kCryptoProD = sboxFromHex(
    "FC2A645079ED1B83" "B634CFE27D805A91" "1CB0FE65AD489372" "15ECA70D62B493F8"
    "0C89D2AB73654EF1" "80F325EB1A47C9D6" "306F1E92D8C4BA57" "1A68FB04C3597D2E");
// clang-format on
static_assert(everyRowIsAPermutation(kCryptoProA) && everyRowIsAPermutation(kCryptoProB) &&
              everyRowIsAPermutation(kCryptoProC) && everyRowIsAPermutation(kCryptoProD));

struct ParameterSet {
    uint8_t code;
    const SBox* sbox;
    const char* name;
};

constexpr std::array<ParameterSet, 4> kParameterSets = {{
    {5, &kCryptoProA, "id-Gost28147-89-CryptoPro-A-ParamSet"},
    {6, &kCryptoProB, "id-Gost28147-89-CryptoPro-B-ParamSet"},
    {7, &kCryptoProC, "id-Gost28147-89-CryptoPro-C-ParamSet"},
    {8, &kCryptoProD, "id-Gost28147-89-CryptoPro-D-ParamSet"},
}};

const ParameterSet* parameterSet(uint8_t code) noexcept {
    const auto* found = std::ranges::find(kParameterSets, code, &ParameterSet::code);
    return found == kParameterSets.end() ? nullptr : found;
}

// The per-call working context: the eight key words and four tables, each
// substituting one byte of the round input through two S-box rows. Wiped on
// destruction: the key words are the key.
struct Context {
    std::array<uint32_t, 8> key{};
    std::array<std::array<uint32_t, 256>, 4> table{};

    Context(const SBox& box, std::span<const uint8_t, kGostKeyBytes> keyBytes) noexcept {
        for (std::size_t i = 0; i < key.size(); ++i) key[i] = loadLittleEndian(keyBytes.subspan(4 * i).first<4>());
        for (std::size_t t = 0; t < table.size(); ++t) {
            for (unsigned byte = 0; byte < 256; ++byte) {
                const uint32_t low = box[2 * t][byte & 0x0F];
                const uint32_t high = box[2 * t + 1][byte >> 4];
                table[t][byte] = (high << 4 | low) << (8 * t);
            }
        }
    }
    ~Context() { OPENSSL_cleanse(key.data(), sizeof key); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    static uint32_t loadLittleEndian(std::span<const uint8_t, 4> bytes) noexcept {
        return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    }

    uint32_t substitute(uint32_t x) const noexcept {
        const uint32_t s = table[0][x & 0xFF] | table[1][x >> 8 & 0xFF] | table[2][x >> 16 & 0xFF] | table[3][x >> 24];
        return std::rotl(s, 11);
    }
};

void storeLittleEndian(uint32_t value, std::span<uint8_t> out) noexcept {
    for (std::size_t i = 0; i < 4; ++i) out[i] = uint8_t(value >> (8 * i));
}

// The two halves of a block: N1 from bytes 0-3, N2 from bytes 4-7. Wiped
// when they go: deciphering an unwrapped key leaves its words in them.
struct Halves {
    uint32_t n1;
    uint32_t n2;

    ~Halves() { OPENSSL_cleanse(this, sizeof *this); }

    // One round: N2 xor f(N1 + K) becomes the new N1, the old N1 the new N2.
    void round(const Context& context, uint32_t roundKey) noexcept {
        const uint32_t mixed = n2 ^ context.substitute(n1 + roundKey);
        n2 = n1;
        n1 = mixed;
    }
};

Halves loadBlock(std::span<const uint8_t> block) noexcept {
    return {Context::loadLittleEndian(block.first<4>()), Context::loadLittleEndian(block.subspan<4, 4>())};
}

// Key word of round i (0-31): encryption takes K0..K7 three times, then
// K7..K0; decryption K0..K7 once, then K7..K0 three times.
std::size_t roundKeyIndex(std::size_t round, GostDirection direction) noexcept {
    const std::size_t ascending = direction == GostDirection::kEncrypt ? 24 : 8;
    return round < ascending ? round % 8 : 7 - round % 8;
}

void cipherBlock(const Context& context, std::span<const uint8_t> in, std::span<uint8_t> out,
                 GostDirection direction) noexcept {
    Halves halves = loadBlock(in);
    for (std::size_t round = 0; round < 32; ++round)
        halves.round(context, context.key[roundKeyIndex(round, direction)]);
    // The last round does not swap: undo the swap the loop made.
    storeLittleEndian(halves.n2, out.first(4));
    storeLittleEndian(halves.n1, out.subspan(4, 4));
}

}  // namespace

bool isGostParameterCode(uint8_t parameterCode) noexcept { return parameterSet(parameterCode) != nullptr; }

const char* gostParameterSetName(uint8_t parameterCode) noexcept {
    const ParameterSet* set = parameterSet(parameterCode);
    return set == nullptr ? nullptr : set->name;
}

bool gostEcb(uint8_t parameterCode, std::span<const uint8_t, kGostKeyBytes> key, std::span<const uint8_t> input,
             std::span<uint8_t> output, GostDirection direction) noexcept {
    const ParameterSet* set = parameterSet(parameterCode);
    const std::size_t whole = input.size() - input.size() % kGostBlockBytes;
    if (set == nullptr || output.size() < whole) return false;
    const Context context(*set->sbox, key);
    for (std::size_t offset = 0; offset < whole; offset += kGostBlockBytes) {
        cipherBlock(context, input.subspan(offset, kGostBlockBytes), output.subspan(offset, kGostBlockBytes),
                    direction);
    }
    return true;
}

bool gostMac32(std::span<const uint8_t> iv, uint8_t parameterCode, std::span<const uint8_t, kGostKeyBytes> key,
               std::span<const uint8_t, kGostMacDataBytes> data, std::span<uint8_t, kGostMacBytes> mac) noexcept {
    const ParameterSet* set = parameterSet(parameterCode);
    if (set == nullptr || (!iv.empty() && iv.size() != kGostBlockBytes)) return false;
    const Context context(*set->sbox, key);
    std::array<uint8_t, kGostBlockBytes> state{};
    std::ranges::copy(iv, state.begin());
    for (std::size_t offset = 0; offset < data.size(); offset += kGostBlockBytes) {
        for (std::size_t i = 0; i < kGostBlockBytes; ++i) state[i] ^= data[offset + i];
        // Sixteen rounds, K0..K7 twice, and the halves kept as they end.
        Halves halves = loadBlock(state);
        for (std::size_t round = 0; round < 16; ++round) halves.round(context, context.key[round % 8]);
        storeLittleEndian(halves.n1, std::span(state).first(4));
        storeLittleEndian(halves.n2, std::span(state).subspan(4, 4));
    }
    std::copy_n(state.begin(), kGostMacBytes, mac.begin());
    OPENSSL_cleanse(state.data(), state.size());
    return true;
}

}  // namespace korva::ciphers
