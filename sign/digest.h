// Software hashing for the host (slots 21 and 22): the digest mechanisms the
// token offers, the initialisation that checks a mechanism and fills the
// host-held operation record, and the single-part digest.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::sign {

enum class DigestFamily : uint8_t {
    kLibrary,   // MD5 and the SHA family: the library's own digests
    kGost94,    // GOST R 34.11-94, optionally naming its parameter set
    kGost2012,  // GOST R 34.11-2012, 256- or 512-bit
};

struct DigestMechanism {
    abi::CK_MECHANISM_TYPE type;
    DigestFamily family;
    const char* digestName;  // the library's name of the digest
    uint32_t length;         // bytes of the digest
};

// The row of a digest mechanism, or null for any other mechanism type.
const DigestMechanism* findDigestMechanism(abi::CK_MECHANISM_TYPE type) noexcept;

// Slot 21. Runs the card's capability query (a card without GOST R 34.10-2012
// support refuses the GOST R 34.11-2012 digests), checks the mechanism and
// its parameter, and fills `state`: for CKM_GOSTR3411 with a digest
// parameter-set identifier, its length then its DER bytes; otherwise zeros.
abi::CK_RV digestInit(const HostContext& host, const abi::CK_MECHANISM* mechanism, abi::OperationRecord* state);

// Slot 22: hashes `data` in software with the mechanism the host initialised
// (it passes the same type and the record slot 21 filled). A null `digest`
// asks for the length; a short buffer gets the length and
// CKR_BUFFER_TOO_SMALL.
abi::CK_RV digest(const uint8_t* data, abi::CK_ULONG dataLength, uint8_t* digest, abi::CK_ULONG* digestLength,
                  const abi::OperationRecord* state, abi::CK_MECHANISM_TYPE mechanism);

}  // namespace korva::sign
