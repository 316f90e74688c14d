// The two templates of a key-pair generation, checked and completed into
// the working lists whose encodings become the public and private key's
// directory records. Nothing here talks to the card: the card-side steps
// take the finished lists.
//
// Working lists hold at most 30 entries, like a session object. Additions
// are appended, so a value the host gave for a type keeps being the first
// one every lookup finds; the attributes the module itself decides (the key
// type, the card key reference, the modulus size of an RSA private key) are
// therefore removed before they are added, so that a template can never
// make a record name another key or another algorithm than the one made.
#pragma once

#include "objects/key_record.h"
#include "objects/template_record.h"
#include "session/mechanisms.h"

#include <korva/pkcs11_types.h>

#include <array>
#include <cstdint>
#include <span>

namespace korva::keys {

using abi::CK_ATTRIBUTE;
using abi::CK_RV;

// ---------------------------------------------------------------------------
// Mechanisms

struct KeyPairMechanism {
    uint32_t mechanism;
    objects::KeyFamily family;
    uint32_t keyType;  // CKA_KEY_TYPE written into both records
};

// The generation mechanisms the token offers, or null for any other type.
const KeyPairMechanism* findKeyPairMechanism(uint32_t mechanism) noexcept;

// ---------------------------------------------------------------------------
// The working lists

struct KeyPairLists {
    objects::TemplateRecord publicKey;
    objects::TemplateRecord privateKey;
};

// Deep copies of the host's templates. More than 30 entries in either:
// CKR_FUNCTION_FAILED; no memory: CKR_HOST_MEMORY.
CK_RV copyTemplates(std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                    KeyPairLists& lists) noexcept;

// Ties the halves together by CKA_ID. The first CKA_ID of each list decides
// (length 0xFFFFFFFF counts as absent): both present and equal is fine;
// unequal, or given empty, is CKR_ATTRIBUTE_VALUE_INVALID; present in one
// list only is CKR_TEMPLATE_INCOMPLETE; absent from both gives both an
// empty CKA_ID (a list already holding 30 entries: the vendor value
// CKR_VENDOR_ATTRIBUTE_LIST_FULL).
CK_RV pairKeyIds(KeyPairLists& lists) noexcept;

// Writes the mechanism's key type into both lists. A template that names
// another key type is CKR_TEMPLATE_INCONSISTENT.
CK_RV setKeyType(KeyPairLists& lists, uint32_t keyType) noexcept;

// Replaces whatever key reference the templates carried with the card key
// `reference` in both lists.
CK_RV setKeyReference(KeyPairLists& lists, uint8_t reference) noexcept;

// Keys kept in body files carry no card key reference: one a template
// smuggled in would make every later operation use another key.
void dropKeyReference(KeyPairLists& lists) noexcept;

// CKA_PRIVATE of each list (absent: false). A value whose length is not 1
// is CKR_FUNCTION_FAILED.
struct PrivateFlags {
    bool publicKey = false;
    bool privateKey = false;
};
CK_RV readPrivateFlags(const KeyPairLists& lists, PrivateFlags& flags) noexcept;

// Maps a list operation's failure to a CK_RV.
CK_RV listResult(objects::TemplateResult result) noexcept;

// ---------------------------------------------------------------------------
// GOST R 34.10

// Default parameter sets of a public template that names none.
inline constexpr std::array<uint8_t, 9> kCryptoProCurveA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
inline constexpr std::array<uint8_t, 11> kTc26Curve512A = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07,
                                                           0x01, 0x02, 0x01, 0x02, 0x01};
using token::kStreebog256;
using token::kStreebog512;

// The card's digest code of GOST R 34.11-94: a key hashed with it is a
// GOST R 34.10-2001 key.
inline constexpr uint8_t kDigestCodeGost94 = 9;

struct GostChoice {
    uint32_t keyType = 0;
    uint8_t curveCode = 0;  // the card's code of the public key's curve
    bool hash2012 = true;   // hashed with GOST R 34.11-2012
};

// Completes both lists for a GOST key pair of `mechanism`: the curve and
// digest parameter sets (defaults when the public template gives none; a
// named one replaces nothing in the private list) and the key type, and
// works out what the card's generation command needs. An unknown curve or
// digest identifier, or a curve of the other key size than the mechanism's,
// is CKR_ATTRIBUTE_VALUE_INVALID; a value that cannot be read,
// CKR_FUNCTION_FAILED.
CK_RV chooseGostParameters(KeyPairLists& lists, const KeyPairMechanism& mechanism, GostChoice& choice) noexcept;

// ---------------------------------------------------------------------------
// RSA

inline constexpr uint32_t kRsaModulusBits = 1024;
inline constexpr uint32_t kDefaultRsaExponent = 65537;

// Checks the host's public template before anything is copied:
// CKA_MODULUS_BITS must be there as a 4-byte 1024 (missing or malformed:
// CKR_TEMPLATE_INCOMPLETE; another size: CKR_ATTRIBUTE_VALUE_INVALID), and
// CKA_PUBLIC_EXPONENT, when given, a big-endian 3, 17 or 65537 with only
// zeros in front (else CKR_ATTRIBUTE_VALUE_INVALID; a value that cannot be
// read: CKR_FUNCTION_FAILED). `exponent` receives the exponent to use.
CK_RV checkRsaPublicTemplate(std::span<const CK_ATTRIBUTE> publicTemplate, uint32_t& exponent) noexcept;

// Completes both lists for an RSA key pair: key type, CKA_ID pairing, the
// private key's modulus size, no card key reference.
CK_RV prepareRsaLists(KeyPairLists& lists) noexcept;

// Whether the private key may decrypt: true unless the private list says
// CKA_DECRYPT false, and always when the public list lets the key encrypt
// (an absent or odd-sized CKA_ENCRYPT counts as true).
bool rsaMayDecrypt(const KeyPairLists& lists) noexcept;

}  // namespace korva::keys
