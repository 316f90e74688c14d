// 1024-bit RSA keys as the card holds them: the public key reads as an 8-byte
// big-endian exponent followed by the 128-byte modulus; the private key signs
// with PKCS#1 v1.5 block type 1 and the public key performs the raw RSA
// operation (the card's ENCIPHER under a confidentiality environment).
#pragma once

#include "sim/crypto/big_number.h"
#include "common/wiped_bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korva::sim::crypto {

inline constexpr std::size_t kRsaModulusBytes = 128;
inline constexpr std::size_t kRsaExponentBytes = 8;
// The most data a type-1 block of 128 bytes carries: 00 01, at least eight
// FF bytes, 00, then the data.
inline constexpr std::size_t kRsaMaxSignedData = kRsaModulusBytes - 11;

class RsaKey final {
public:
    // A fresh 1024-bit key pair with the given odd public exponent (>= 3);
    // the modulus always has its top bit set.
    static std::optional<RsaKey> generate(uint32_t publicExponent = 65537);
    // A key loaded from its big-endian parts: the exponent (at most 8 bytes),
    // the 128-byte modulus and, optionally, the 128-byte private exponent. A
    // key without a private exponent only answers public operations.
    static std::optional<RsaKey> fromComponents(std::span<const uint8_t> publicExponent,
                                                std::span<const uint8_t> modulus,
                                                std::span<const uint8_t> privateExponent = {});
    // A key loaded from its primes (the CRT form): the modulus and the private
    // exponent follow from e, p and q (64 bytes each).
    static std::optional<RsaKey> fromPrimes(std::span<const uint8_t> publicExponent, std::span<const uint8_t> p,
                                            std::span<const uint8_t> q);
    // Inverse of serialize(); nothing for malformed bytes.
    static std::optional<RsaKey> deserialize(std::span<const uint8_t> bytes);

    RsaKey(RsaKey&&) noexcept = default;
    RsaKey& operator=(RsaKey&&) noexcept = default;
    ~RsaKey() = default;  // the private exponent is cleared by its handle

    // The card-file form: 'R', a private-part flag (0 or 1), the 8-byte
    // exponent, the modulus and, with the flag, the private exponent.
    WipedBytes serialize() const;

    bool hasPrivateKey() const noexcept { return privateExponent_ != nullptr; }

    // 8-byte big-endian exponent then the 128-byte modulus (136 bytes).
    std::vector<uint8_t> publicKey() const;

    // PKCS#1 v1.5 type-1 signature of `data` (at most 117 bytes): 00 01 FF..FF
    // 00 data, raised to the private exponent. 128 bytes, or empty when the
    // data is too long or the key has no private part.
    std::vector<uint8_t> signPkcs1(std::span<const uint8_t> data) const;

    // The raw public operation block^e mod n. The block (at most 128 bytes,
    // read big-endian) must be below the modulus. 128 bytes, or empty.
    std::vector<uint8_t> publicOperation(std::span<const uint8_t> block) const;

private:
    RsaKey(BigNumber publicExponent, BigNumber modulus, BigNumber privateExponent) noexcept;

    BigNumber publicExponent_;
    BigNumber modulus_;
    BigNumber privateExponent_;  // null for a public key only
};

}  // namespace korva::sim::crypto
