// PERFORM SECURITY OPERATION and the key-generation commands: cipher,
// signature, public-key read, key generation, random bytes.
#pragma once

#include "card/card_context.h"

#include <array>
#include <cstdint>
#include <span>

namespace korva::card {

// ENCIPHER 00 2A 86 80 (CLA 10 when `chain`) with 1-255 bytes. The answer
// starts with a padding-indicator byte, which is dropped: `outLength`
// receives the rest. Returns kOk, kWrongLength when `out` is too small,
// kUnexpected (another status word, or an answer of 0 or 2 bytes), or
// kBadArgumentOrTransport (a transport failure, or an empty or too long
// input).
CardResult encipher(CardContext& context, std::span<const uint8_t> data, bool chain, std::span<uint8_t> out,
                    std::size_t& outLength) noexcept;

// DECIPHER 00 2A 80 86 (CLA 10 when `chain`) with the indicator byte 02 and
// 1-254 bytes; the whole answer is the result. Mapping as encipher.
CardResult decipher(CardContext& context, std::span<const uint8_t> data, bool chain, std::span<uint8_t> out,
                    std::size_t& outLength) noexcept;

// ENCIPHER through the chained sender, for 1-255 bytes (else kBadArgumentOrTransport);
// the answer must be as long as the data and is copied whole into `out`
// (which must hold it, else kBadArgumentOrTransport). kOk, kBadArgumentOrTransport or
// kUnexpected.
CardResult encipherLong(CardContext& context, std::span<const uint8_t> data, std::span<uint8_t> out) noexcept;

// COMPUTE DIGITAL SIGNATURE 00 2A 9E 9A over a (byte-reversed) GOST hash.
// The answer must be 64 or 128 bytes and exactly fill `signature`. kOk,
// kUnexpected (another status word or length), kBadArgumentOrTransport,
// kBadArgumentOrTransport for an empty or too long hash.
CardResult computeSignature(CardContext& context, std::span<const uint8_t> hash, std::span<uint8_t> signature) noexcept;

// COMPUTE DIGITAL SIGNATURE with an RSA key: the answer must be exactly the
// 128 bytes of a 1024-bit signature.
inline constexpr std::size_t kRsaSignatureSize = 128;
CardResult computeRsaSignature(CardContext& context, std::span<const uint8_t> data,
                               std::span<uint8_t, kRsaSignatureSize> signature) noexcept;

// VERIFY DIGITAL SIGNATURE 00 2A 00 A8 with 9A hash 9E signature. The
// signature is at most 128 bytes, and with 128 bytes the hash at most 117;
// the whole data field (both TLVs) is at most 255 bytes.
// Returns kOk, kSignatureRejected (69 82), kUnexpected or
// kBadArgumentOrTransport.
inline constexpr std::size_t kLongestHashWithRsaSignature = 117;
CardResult verifySignature(CardContext& context, std::span<const uint8_t> hash,
                           std::span<const uint8_t> signature) noexcept;

// READ PUBLIC KEY 00 46 01 key 00 (key 0: the selected key file). The whole
// answer is copied into `out`; `length` receives its size. kOk, kSecurity
// (69 82), kWrongLength when `out` is too small, kUnexpected or
// kBadArgumentOrTransport.
CardResult readPublicKey(CardContext& context, uint8_t keyReference, std::span<uint8_t> out,
                         std::size_t& length) noexcept;

// GENERATE KEY PAIR 00 46 02 key, with the card's default parameters or with
// the 3-byte public exponent (A6 06 94 04 00 e1 e2 e3).
CardResult generateKeyPair(CardContext& context, uint8_t keyReference) noexcept;
CardResult generateKeyPair(CardContext& context, uint8_t keyReference,
                           std::span<const uint8_t, 3> publicExponent) noexcept;

// Proprietary key generation in the card key object `fileId`. P1 is the
// caller's bits with 10 set, or 30 when `option` is given.
// Short form: 80 76 P1 P2 05 fid 07 00 09. Answer 61 40 is success.
struct OnCardKeyRequest {
    uint16_t fileId;
    uint8_t p1Bits;
    uint8_t p2;
    bool option;
};
// Returns kOk, kMemory (6A 84), kBadArgumentOrTransport or kUnexpected.
CardResult generateKeyOnCard(CardContext& context, const OnCardKeyRequest& request) noexcept;

// Long form: 80 76 P1 P2 04 fid 07 00, or with the option
// 80 76 P1 P2 0A fid 07 00 01 08 05 00 09 01. A 512-bit key (key type
// CKK_GOSTR3410_512 or `wide512`) adds 80 to P1 and turns the 09 into 00.
// Answers 61 40 and 61 80 are success.
inline constexpr uint32_t kKeyTypeGost512 = 0xD4321003;
CardResult generateKeyOnCardLong(CardContext& context, const OnCardKeyRequest& request, uint32_t keyType,
                                 bool wide512) noexcept;

// GET CHALLENGE 00 84 00 00 08, repeated until `out` is full; every answer
// must be 90 00 with exactly 8 bytes (else kUnexpected); the last piece is
// truncated to fit.
CardResult getChallenge(CardContext& context, std::span<uint8_t> out) noexcept;

// Key agreement 80 50 P1 ref: VKO GOST R 34.10 between the card's GOST key
// `keyReference` and a peer's public key. P1 tells the card's generation
// (00 a GOST R 34.10-2001 card, 01 a GOST R 34.10-2012 one); the card agrees
// by the standard of its own key. The peer's public key (X then Y,
// each little-endian as the host holds it) and the UKM (little-endian) go
// to the card each reversed. The answer must be 90 00 with exactly the 32
// bytes of the agreed key. kOk, kUnexpected (another status word or
// length), kTransportFailure, kBadArgument for inputs that do not fit.
inline constexpr std::size_t kAgreedKeySize = 32;
struct KeyAgreementRequest {
    uint8_t p1;
    uint8_t keyReference;
    std::span<const uint8_t> peerPublicKey;
    std::span<const uint8_t> ukm;
};
CardResult agreeKey(CardContext& context, const KeyAgreementRequest& request,
                    std::span<uint8_t, kAgreedKeySize> agreedKey) noexcept;

}  // namespace korva::card
