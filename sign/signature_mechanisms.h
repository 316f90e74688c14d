// The mechanisms the card signs and verifies with, the key type each one
// needs, and the software hashing step of those that hash the message first.
#pragma once

#include "card/card_context.h"
#include "session/mechanisms.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::sign {

enum class MessageHash : uint8_t {
    kNone,          // the host passes the hash (GOST) or the data to pad (RSA)
    kGost94,        // GOST R 34.11-94 with the parameter set kept in the operation record
    kGost2012_256,  // GOST R 34.11-2012, 256-bit result
    kGost2012_512,  // GOST R 34.11-2012, 512-bit result
};

struct SignatureMechanism {
    abi::CK_MECHANISM_TYPE type;
    abi::CK_KEY_TYPE keyType;
    MessageHash hash;
    // Bytes of a GOST signature (the hash is half as long); 0 for RSA, whose
    // signature is as long as the key's modulus.
    uint32_t signatureLength;

    bool isGost() const noexcept { return signatureLength != 0; }
    uint32_t hashLength() const noexcept { return signatureLength / 2; }
};

// The row of `type`, or null when the card cannot sign with it at all.
const SignatureMechanism* findSignatureMechanism(abi::CK_MECHANISM_TYPE type) noexcept;

// The row of `type` when it is also among the mechanisms the card offers
// (`offered`, from the capability query: the GOST R 34.10-2012 mechanisms
// exist only on a card that supports them), else null.
const SignatureMechanism* acceptedSignatureMechanism(std::span<const token::MechanismRow> offered,
                                                     abi::CK_MECHANISM_TYPE type) noexcept;

inline constexpr std::size_t kLongestGostHash = 64;

// Hashes the message for a mechanism that hashes (`hash` not kNone) into
// `out`, which receives mechanism.hashLength() bytes. GOST R 34.11-94 takes
// its parameter set from `state`, which must name a digest parameter set.
// False on any failure.
bool hashMessage(const SignatureMechanism& mechanism, const abi::OperationRecord& state,
                 std::span<const uint8_t> message, std::span<uint8_t> out) noexcept;

}  // namespace korva::sign
