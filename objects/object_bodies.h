// Reading the body files that hold object values: length-prefixed data and
// certificate bodies, GOST 28147-89 key bodies, and the public part of a
// card key object. Every length the card states is checked against the
// file's size before it is used.
#pragma once

#include "objects/layout.h"
#include "common/wiped_bytes.h"

#include "card/card_context.h"

#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

// Selects `fileId` in the current directory and reads its content: a
// 2-byte big-endian length L, then L bytes. kOk, kNotFound (no such file),
// kSecurity (the card wants a PIN), kUnexpected (the file is shorter than
// its prefix says, or has no size), or a failure.
// `failedRead`, when not null, tells a failure of the content read from one
// of the 2-byte length read (or the selection): a card that shows the length
// and then refuses the rest does not ask for a login.
enum class BodyRead : uint8_t { kLength, kContent };
CardResult readLengthPrefixedBody(CardContext& context, uint16_t fileId, WipedBytes& content,
                                  BodyRead* failedRead = nullptr) noexcept;

// Selects `fileId` and reads its first `length` bytes.
CardResult readFixedBody(CardContext& context, uint16_t fileId, std::size_t length, WipedBytes& content) noexcept;

// Where a key's material lives.
struct KeyBody {
    uint16_t fileId = 0;
    bool inKeyDirectory = false;  // F0 rr of 05 1F rather than 61 nn
};

// The card key object of a key whose record carries a key reference, or
// nothing. A reference of another length than 1 is a malformed record.
enum class KeyReferenceLookup : uint8_t { None, Found, Malformed };
KeyReferenceLookup keyReferenceOf(std::span<const uint8_t> record, uint8_t& reference) noexcept;

// The public part of a key as the card reads it out.
struct KeyPublicPart {
    enum class Kind : uint8_t { None, Rsa, Gost } kind = Kind::None;
    WipedBytes modulus;         // RSA: 128 bytes
    WipedBytes publicExponent;  // RSA: the card's 8-byte field
    WipedBytes point;           // GOST: X then Y, each in little-endian order
};

// Selects the key file of `body` (05 1F by path first for F0 rr) and reads
// its public part. kOk (a key file of another kind than RSA or GOST reads
// as Kind::None), kNotFound (no such file), kSecurity, kUnexpected (not a
// key file, no key attribute byte, a public key of the wrong size), or a
// failure. With `readGostPoint` false a GOST key stops at the key file's
// control information (Kind::Gost, no point): nothing of it is shown. The
// caller reselects its directory afterwards where it needs to.
CardResult readKeyPublicPart(CardContext& context, const KeyBody& body, KeyPublicPart& part,
                             bool readGostPoint = true) noexcept;

}  // namespace korva::objects
