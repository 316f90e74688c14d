// GOST R 34.10-2001 / 2012 key pairs as the card holds them, with the card's
// byte conventions:
// - the public key is X then Y, each big-endian, `size` bytes each;
// - the value to sign is the hash as the card receives it (the host reverses
//   the digest's bytes before sending), read as a big-endian number e, taken
//   mod q, and 1 when that is 0;
// - a signature is r then s, each big-endian, `size` bytes each.
#pragma once

#include "sim/crypto/big_number.h"
#include "sim/crypto/gost_curves.h"
#include "common/wiped_bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korva::sim::crypto {

enum class KeyAgreement : uint8_t {
    kVko2001,  // GOST R 34.10-2001 VKO, hashed with GOST R 34.11-94
    kVko2012,  // GOST R 34.10-2012 VKO, hashed with GOST R 34.11-2012 (256-bit)
};

class GostKeyPair final {
public:
    // A fresh pair on the curve of the card's parameter-set code; nothing for
    // an unknown code or a failure of the random generator.
    static std::optional<GostKeyPair> generate(uint8_t curveCode);
    // The pair of a given private key (big-endian); nothing when the key is
    // not in [1, q - 1].
    static std::optional<GostKeyPair> fromPrivateKey(uint8_t curveCode, std::span<const uint8_t> privateKey);
    // Inverse of serialize(); nothing for malformed bytes.
    static std::optional<GostKeyPair> deserialize(std::span<const uint8_t> bytes);

    GostKeyPair(GostKeyPair&&) noexcept = default;
    GostKeyPair& operator=(GostKeyPair&&) noexcept = default;
    ~GostKeyPair() = default;  // the private key is cleared by its handle

    // The card-file form: 'G' ('H' for a 2012 key on a 2001 curve), the curve
    // code, the private key (`size` bytes).
    WipedBytes serialize() const;

    uint8_t curveCode() const noexcept { return curve_->code; }

    // The standard of the key, which decides how it agrees keys: a key on a
    // GOST R 34.10-2012 curve is a 2012 key; a key on a 2001 curve is a 2001
    // key unless generated as a 2012 one (hashed with GOST R 34.11-2012).
    void markGost2012() noexcept { gost2012_ = true; }
    KeyAgreement agreement() const noexcept { return gost2012_ ? KeyAgreement::kVko2012 : KeyAgreement::kVko2001; }
    // 32 for 256-bit keys, 64 for 512-bit ones.
    std::size_t size() const noexcept { return curve_->size; }

    // X then Y, big-endian, 2 * size bytes.
    std::vector<uint8_t> publicKey() const;

    // r then s over the card-form hash, which must be `size` bytes. Empty on
    // a wrong hash length or an arithmetic failure.
    std::vector<uint8_t> sign(std::span<const uint8_t> cardHash) const;

    // Checks r then s against this pair's public key.
    bool verify(std::span<const uint8_t> cardHash, std::span<const uint8_t> signature) const;

    // VKO key agreement with a peer public key on the same curve (X then Y,
    // big-endian) and a user keying material read as a big-endian number
    // (the byte order in which the card holds it once it has undone the
    // host's reversal). The answer is the 32-byte shared key in the byte
    // order of the published algorithm. Empty on failure: a point not on the
    // curve, a zero UKM, an unavailable hash.
    WipedBytes agreeKey(std::span<const uint8_t> peerPublicKey, std::span<const uint8_t> ukm, KeyAgreement kind) const;

    // Signing with a chosen nonce k, for known-answer tests only: a reused or
    // predictable k discloses the private key.
    std::vector<uint8_t> signWithNonce(std::span<const uint8_t> cardHash, std::span<const uint8_t> nonce) const;

private:
    GostKeyPair(const GostCurveParameters& curve, EcGroup group, BigNumber privateKey, EcPoint publicPoint) noexcept;

    const GostCurveParameters* curve_;
    EcGroup group_;
    BigNumber privateKey_;
    EcPoint publicPoint_;
    bool gost2012_;
};

// Checks r then s over the card-form hash with a bare public key (X then Y,
// big-endian) on the curve of `curveCode`.
bool verifyGostSignature(uint8_t curveCode, std::span<const uint8_t> publicKey, std::span<const uint8_t> cardHash,
                         std::span<const uint8_t> signature);

}  // namespace korva::sim::crypto
