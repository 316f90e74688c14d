// The card's signature commands as sequences: the GOST signing and
// verification with the key-directory selection, the security environment
// and the byte orders of the two sides, and the RSA counterparts.
//
// GOST byte orders: the card reads the hash it is given as a big-endian
// number, while the hash as computed is little-endian, so the hash goes to
// the card reversed. The card answers r then s; outside the card a
// signature travels as s then r (its two halves exchanged), the form the
// host and the software GOST implementations use.
#pragma once

#include "card/card_context.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::sign {

// Signs `hash` (32 or 64 bytes, in the order the hash function produced it)
// with the GOST key whose card key reference is `keyReference`: SELECT
// 05 1F, MANAGE SECURITY ENVIRONMENT RESTORE and SET for digital signature,
// COMPUTE DIGITAL SIGNATURE with the reversed hash. `signature` must have
// twice the hash's length and receives the host form; it is written only
// on success. Returns kOk, kBadArgumentOrTransport for other lengths, or the failing
// command's result (a card answer of another length is kUnexpected). The
// certificate-request and signed-message builders sign through this too; a
// caller that has just selected the key directory (to read the public key)
// passes kAlreadySelected and the SELECT is not sent again.
enum class KeyDirectory : uint8_t { kSelect, kAlreadySelected };
CardResult signGostHash(CardContext& context, uint8_t keyReference, std::span<const uint8_t> hash,
                        std::span<uint8_t> signature, KeyDirectory directory = KeyDirectory::kSelect) noexcept;

// Verifies a host-form `signature` (twice the hash's length) over `hash`
// on the card with the same selection and environment: VERIFY DIGITAL
// SIGNATURE with the reversed hash and the card form of the signature.
// kOk, kSignatureRejected (69 82), kBadArgumentOrTransport, or another failure.
CardResult verifyGostHash(CardContext& context, uint8_t keyReference, std::span<const uint8_t> hash,
                          std::span<const uint8_t> signature) noexcept;

// The card's RSA keys have 1024-bit moduli: every signature is 128 bytes.
inline constexpr std::size_t kRsaModulusBytes = 128;

// The card pads `data` with PKCS#1 v1.5 block type 1 and signs it with the
// RSA key `keyReference` (of the current application folder): MANAGE
// SECURITY ENVIRONMENT for digital signature, then COMPUTE DIGITAL
// SIGNATURE. `data` holds 1 to 117 bytes (else kBadArgumentOrTransport).
CardResult signRsa(CardContext& context, uint8_t keyReference, std::span<const uint8_t> data,
                   std::span<uint8_t, kRsaModulusBytes> signature) noexcept;

// VERIFY DIGITAL SIGNATURE of a 128-byte signature over 1 to 117 bytes of
// data with the RSA key `keyReference`. kOk, kSignatureRejected, or another
// failure.
CardResult verifyRsa(CardContext& context, uint8_t keyReference, std::span<const uint8_t> data,
                     std::span<const uint8_t, kRsaModulusBytes> signature) noexcept;

// The raw public-key transform of a 128-byte signature: MANAGE SECURITY
// ENVIRONMENT for confidentiality with `keyReference`, then ENCIPHER. The
// card must answer exactly 128 bytes (else kUnexpected), written to `block`.
CardResult rsaPublicTransform(CardContext& context, uint8_t keyReference,
                              std::span<const uint8_t, kRsaModulusBytes> signature,
                              std::span<uint8_t, kRsaModulusBytes> block) noexcept;

// The data inside a PKCS#1 v1.5 block of type 1: 00 01, one or more FF
// bytes, 00, then at least one data byte. An empty span when the block is
// not of that form.
std::span<const uint8_t> unpadSignatureBlock(std::span<const uint8_t> block) noexcept;

}  // namespace korva::sign
