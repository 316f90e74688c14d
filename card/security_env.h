// MANAGE SECURITY ENVIRONMENT: which key and algorithm the next security
// operation uses. Each setter first restores the card's default environment.
// These commands carry no response data, so each passes the host a 2-byte
// buffer of its own; a host reporting more is a transport failure.
//
// All return kOk, kUnexpected (a status word other than 90 00) or
// kBadArgumentOrTransport.
#pragma once

#include "card/card_context.h"

#include <cstdint>
#include <span>

namespace korva::card {

// 00 22 F3 00.
CardResult restoreSecurityEnvironment(CardContext& context) noexcept;

// Restore, then 00 22 C1 B8 03 83 01 key (confidentiality).
CardResult setKeyForDeciphering(CardContext& context, uint8_t keyReference) noexcept;

// Restore, then 00 22 C1 B6 03 83 01 key (digital signature).
CardResult setKeyForSigning(CardContext& context, uint8_t keyReference) noexcept;

// Restore, key and algorithm (00 22 C1 B8 06 83 01 key 8C 01 algorithm),
// then the initial vector: 87 len IV for a length of 8 or 16 (zeros when
// `iv` is empty; a non-empty `iv` must have exactly `ivLength` bytes, else
// kBadArgumentOrTransport), and 16 zero bytes for any other length.
CardResult setCipherEnvironment(CardContext& context, uint8_t keyReference, uint8_t algorithm, std::size_t ivLength,
                                std::span<const uint8_t> iv) noexcept;

}  // namespace korva::card
