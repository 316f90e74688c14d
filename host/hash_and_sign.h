// The RSA signature mechanisms that hash the data first (CKM_SHA1_RSA_PKCS,
// CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS). The card
// signs only what it is given, with PKCS#1 v1.5 padding (CKM_RSA_PKCS): the
// library hashes the data and hands the card the DigestInfo (the digest
// algorithm's identifier and the digest, DER-encoded), which is what a
// PKCS#1 v1.5 signature of the data signs.
#pragma once

#include "common/wiped_bytes.h"
#include "host/pkcs11_api.h"

#include <span>

namespace korva::host {

struct HashAndSign;

// The hash-and-sign mechanism of this type, or null.
const HashAndSign* findHashAndSign(ck_mechanism_type_t type);
// Every hash-and-sign mechanism, for the mechanism list.
std::span<const ck_mechanism_type_t> hashAndSignTypes();

// What the card signs (or verifies against) for an operation's data: the
// data itself, or for a hash-and-sign mechanism the DigestInfo of the data,
// made in `storage`.
std::span<const uint8_t> cardInput(const HashAndSign* mechanism, std::span<const uint8_t> data, WipedBytes& storage);

// A mechanism as the module is to see it: a hash-and-sign mechanism becomes
// CKM_RSA_PKCS (it takes no parameter); any other passes unchanged.
class SignatureMechanism final {
public:
    explicit SignatureMechanism(const ck_mechanism* given);

    // CKR_OK, or why the mechanism cannot be used (a hash-and-sign
    // mechanism with a parameter; any when `recover`, which hashes nothing).
    ck_rv_t check(bool recover) const;
    const ck_mechanism* forModule() const { return hashAndSign_ == nullptr ? given_ : &rsaPkcs_; }
    const HashAndSign* hashAndSign() const { return hashAndSign_; }

private:
    const ck_mechanism* given_;
    const HashAndSign* hashAndSign_ = nullptr;
    ck_mechanism rsaPkcs_{CKM_RSA_PKCS, nullptr, 0};
};

}  // namespace korva::host
