// The card's secrets and its two states.
//
// Open: the storage key is in memory (a VERIFY opened it, or the card was
// made in this process) and every secret is in the clear in memory, as the
// commands use it. Sealed: after loading and after a reset, secrets exist
// only as sealed values; public material (RSA public keys, GOST public keys,
// bodies anyone may read) stays usable. Saving an open card seals every
// secret afresh; saving a sealed card writes its sealed values back as read.
//
// What is secret: the private part of a key file's material (an RSA key
// file's private exponent, a GOST key object's whole material, a secret
// key), the body of a file that only a PIN holder may read, and the PINs,
// of which the card keeps nothing but the wraps of the storage key.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/internal/card_state.h"

namespace korva::sim {

// What the card file holds for one file's secret: the part that stays
// readable and the sealed part.
struct SealedForm {
  std::vector<uint8_t> clear;
  std::vector<uint8_t> sealed;
};

// The form of `node`'s secret to write; throws std::runtime_error when an
// open card cannot seal (its random generator failed).
SealedForm sealedFormOf(const CardState& card, const FileNode& node);

// The value the sealed value of `node` is bound to.
std::vector<uint8_t> sealingContext(const CardState& card, const FileNode& node, uint8_t purpose);
inline constexpr uint8_t purposeSecret = 'S';
inline constexpr uint8_t purposePinWrap = 'P';

// A card whose PINs are still values (made in this process, or read from a
// card file of the first format) gets a storage key and a wrap under each
// PIN; the PIN values go. The card is open afterwards. false on a failure of
// the random generator or the derivation.
bool sealPinValues(CardState& card);

// Opens every sealed value with `storageKey`; all or nothing. On a value that
// does not authenticate the card stays sealed and `card.damage` names the
// file.
bool openSecrets(CardState& card, const WipedBytes& storageKey);
// Seals every secret and drops the storage key (a reset); false, with the
// card left open, when sealing fails.
bool sealSecrets(CardState& card);

// A new storage key for the card, when this process knows the derived key
// of every PIN wrap other than `except`'s (so that nothing sealed becomes
// unreachable); true when it made one.
bool renewStorageKey(CardState& card, const FileNode& except);

// The GOST public key form kept in the clear: curve code, then X and Y.
std::vector<uint8_t> gostPublicForm(const FileNode& node);

}  // namespace korva::sim
