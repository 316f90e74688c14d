#include "sim/crypto/rsa_key.h"

#include <algorithm>

namespace korva::sim::crypto {
namespace {

constexpr uint8_t kSerialTag = 'R';
constexpr int kModulusBits = static_cast<int>(kRsaModulusBytes) * 8;
constexpr int kPrimeBits = kModulusBits / 2;

bool isUsablePublicExponent(const BIGNUM* e) {
    return BN_is_odd(e) && BN_num_bytes(e) <= static_cast<int>(kRsaExponentBytes) && !BN_is_one(e);
}

// d = e^-1 mod lcm(p - 1, q - 1); null when e is not invertible.
BigNumber privateExponentFromPrimes(const BIGNUM* e, const BIGNUM* p, const BIGNUM* q, BN_CTX* context) {
    const BigNumber p1 = newBigNumber(), q1 = newBigNumber(), product = newBigNumber();
    const BigNumber gcd = newBigNumber(), lcm = newBigNumber(), remainder = newBigNumber();
    if (!p1 || !q1 || !product || !gcd || !lcm || !remainder || !BN_copy(p1.get(), p) || !BN_copy(q1.get(), q) ||
        BN_sub_word(p1.get(), 1) != 1 || BN_sub_word(q1.get(), 1) != 1 ||
        BN_mul(product.get(), p1.get(), q1.get(), context) != 1 ||
        BN_gcd(gcd.get(), p1.get(), q1.get(), context) != 1 ||
        BN_div(lcm.get(), remainder.get(), product.get(), gcd.get(), context) != 1) {
        return nullptr;
    }
    BigNumber d(BN_mod_inverse(nullptr, e, lcm.get(), context));
    if (d) BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    return d;
}

}  // namespace

RsaKey::RsaKey(BigNumber publicExponent, BigNumber modulus, BigNumber privateExponent) noexcept
    : publicExponent_(std::move(publicExponent)),
      modulus_(std::move(modulus)),
      privateExponent_(std::move(privateExponent)) {}

std::optional<RsaKey> RsaKey::fromComponents(std::span<const uint8_t> publicExponent, std::span<const uint8_t> modulus,
                                             std::span<const uint8_t> privateExponent) {
    if (publicExponent.size() > kRsaExponentBytes || modulus.size() != kRsaModulusBytes ||
        (!privateExponent.empty() && privateExponent.size() != kRsaModulusBytes)) {
        return std::nullopt;
    }
    BigNumber e = bigNumberFromBytes(publicExponent);
    BigNumber n = bigNumberFromBytes(modulus);
    if (!e || !n || !isUsablePublicExponent(e.get()) || !BN_is_odd(n.get()) || BN_cmp(e.get(), n.get()) >= 0) {
        return std::nullopt;
    }
    BigNumber d;
    if (!privateExponent.empty()) {
        d = bigNumberFromBytes(privateExponent);
        if (!d || BN_is_zero(d.get()) || BN_cmp(d.get(), n.get()) >= 0) return std::nullopt;
        BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    }
    return RsaKey(std::move(e), std::move(n), std::move(d));
}

std::optional<RsaKey> RsaKey::fromPrimes(std::span<const uint8_t> publicExponent, std::span<const uint8_t> p,
                                         std::span<const uint8_t> q) {
    constexpr std::size_t kPrimeBytes = kRsaModulusBytes / 2;
    if (publicExponent.size() > kRsaExponentBytes || p.size() != kPrimeBytes || q.size() != kPrimeBytes) {
        return std::nullopt;
    }
    const BigNumberContext context(BN_CTX_new());
    BigNumber e = bigNumberFromBytes(publicExponent);
    const BigNumber primeP = bigNumberFromBytes(p), primeQ = bigNumberFromBytes(q);
    BigNumber n = newBigNumber();
    if (!context || !e || !primeP || !primeQ || !n || !isUsablePublicExponent(e.get()) ||
        BN_mul(n.get(), primeP.get(), primeQ.get(), context.get()) != 1 ||
        BN_num_bytes(n.get()) != static_cast<int>(kRsaModulusBytes)) {
        return std::nullopt;
    }
    BigNumber d = privateExponentFromPrimes(e.get(), primeP.get(), primeQ.get(), context.get());
    if (!d) return std::nullopt;
    return RsaKey(std::move(e), std::move(n), std::move(d));
}

std::optional<RsaKey> RsaKey::generate(uint32_t publicExponent) {
    const BigNumberContext context(BN_CTX_new());
    BigNumber e = newBigNumber();
    const BigNumber p = newBigNumber(), q = newBigNumber();
    if (!context || !e || !p || !q || BN_set_word(e.get(), publicExponent) != 1 || !isUsablePublicExponent(e.get())) {
        return std::nullopt;
    }
    BN_set_flags(p.get(), BN_FLG_CONSTTIME);
    BN_set_flags(q.get(), BN_FLG_CONSTTIME);
    // Primes of exactly 512 bits with their two top bits set, so the modulus
    // has exactly 1024 bits; a pair whose p - 1 or q - 1 shares a factor with
    // e is drawn again.
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (BN_generate_prime_ex(p.get(), kPrimeBits, 0, nullptr, nullptr, nullptr) != 1 ||
            BN_generate_prime_ex(q.get(), kPrimeBits, 0, nullptr, nullptr, nullptr) != 1) {
            return std::nullopt;
        }
        if (BN_cmp(p.get(), q.get()) == 0) continue;
        BigNumber d = privateExponentFromPrimes(e.get(), p.get(), q.get(), context.get());
        BigNumber n = newBigNumber();
        if (!d || !n || BN_mul(n.get(), p.get(), q.get(), context.get()) != 1 || BN_num_bits(n.get()) != kModulusBits) {
            continue;
        }
        return RsaKey(std::move(e), std::move(n), std::move(d));
    }
    return std::nullopt;
}

std::optional<RsaKey> RsaKey::deserialize(std::span<const uint8_t> bytes) {
    constexpr std::size_t kPublicPart = 2 + kRsaExponentBytes + kRsaModulusBytes;
    if (bytes.size() < kPublicPart || bytes[0] != kSerialTag || bytes[1] > 1) return std::nullopt;
    const bool withPrivate = bytes[1] == 1;
    if (bytes.size() != kPublicPart + (withPrivate ? kRsaModulusBytes : 0)) return std::nullopt;
    return fromComponents(bytes.subspan(2, kRsaExponentBytes), bytes.subspan(2 + kRsaExponentBytes, kRsaModulusBytes),
                          bytes.subspan(kPublicPart));
}

WipedBytes RsaKey::serialize() const {
    WipedBytes out{kSerialTag, static_cast<uint8_t>(hasPrivateKey() ? 1 : 0)};
    const WipedBytes e = bigNumberToBytes(publicExponent_.get(), kRsaExponentBytes);
    const WipedBytes n = bigNumberToBytes(modulus_.get(), kRsaModulusBytes);
    if (e.empty() || n.empty()) return {};
    out.insert(out.end(), e.begin(), e.end());
    out.insert(out.end(), n.begin(), n.end());
    if (hasPrivateKey()) {
        const WipedBytes d = bigNumberToBytes(privateExponent_.get(), kRsaModulusBytes);
        if (d.empty()) return {};
        out.insert(out.end(), d.begin(), d.end());
    }
    return out;
}

std::vector<uint8_t> RsaKey::publicKey() const {
    const WipedBytes e = bigNumberToBytes(publicExponent_.get(), kRsaExponentBytes);
    const WipedBytes n = bigNumberToBytes(modulus_.get(), kRsaModulusBytes);
    if (e.empty() || n.empty()) return {};
    std::vector<uint8_t> out(e.begin(), e.end());
    out.insert(out.end(), n.begin(), n.end());
    return out;
}

std::vector<uint8_t> RsaKey::signPkcs1(std::span<const uint8_t> data) const {
    if (!hasPrivateKey() || data.size() > kRsaMaxSignedData) return {};
    WipedBytes block(kRsaModulusBytes, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    const std::size_t separator = kRsaModulusBytes - data.size() - 1;
    block[separator] = 0x00;
    std::ranges::copy(data, block.begin() + static_cast<std::ptrdiff_t>(separator) + 1);

    const BigNumberContext context(BN_CTX_new());
    const BigNumber m = bigNumberFromBytes(block);
    const BigNumber s = newBigNumber();
    if (!context || !m || !s || BN_cmp(m.get(), modulus_.get()) >= 0 ||
        BN_mod_exp_mont_consttime(s.get(), m.get(), privateExponent_.get(), modulus_.get(), context.get(), nullptr) !=
            1) {
        return {};
    }
    const WipedBytes signature = bigNumberToBytes(s.get(), kRsaModulusBytes);
    return {signature.begin(), signature.end()};
}

std::vector<uint8_t> RsaKey::publicOperation(std::span<const uint8_t> block) const {
    if (block.empty() || block.size() > kRsaModulusBytes) return {};
    const BigNumberContext context(BN_CTX_new());
    const BigNumber m = bigNumberFromBytes(block);
    const BigNumber c = newBigNumber();
    if (!context || !m || !c || BN_cmp(m.get(), modulus_.get()) >= 0 ||
        BN_mod_exp(c.get(), m.get(), publicExponent_.get(), modulus_.get(), context.get()) != 1) {
        return {};
    }
    const WipedBytes result = bigNumberToBytes(c.get(), kRsaModulusBytes);
    return {result.begin(), result.end()};
}

}  // namespace korva::sim::crypto
