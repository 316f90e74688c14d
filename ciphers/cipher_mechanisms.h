// The mechanisms of the encryption and decryption slots, as one table that
// initialisation, the data calls and the back ends all consult: block size,
// initial-vector length, length rule, padding, the key types each accepts,
// the card's algorithm code and the back end that does the work.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::ciphers {

enum class CipherEngine : uint8_t {
    kRsa,        // software RSA with the key read from the card
    kCard,       // the card ciphers (DES, AES; triple DES with a two-key token key)
    kTripleDes,  // software triple DES when the key allows it, else the card
    kGostEcb,    // the module's own GOST 28147-89 with the key read from the card
    kGostCfb,    // the GOST engine's CFB with the key read from the card
};

struct CipherMechanism {
    abi::CK_MECHANISM_TYPE type;
    CipherEngine engine;
    uint8_t block;          // 8, or 16 for AES (also 8 for the RSA mechanisms)
    uint8_t ivLength;       // 0: the mechanism takes no parameter
    bool padded;            // PKCS#7 padding on the last block (the _PAD mechanisms)
    bool anyLength;         // no whole-block rule (CFB)
    uint8_t cardAlgorithm;  // SET CIPHER ENVIRONMENT tag 8C; 0 for none
    std::span<const abi::CK_KEY_TYPE> keyTypes;

    bool isRsa() const noexcept { return engine == CipherEngine::kRsa; }
    bool acceptsKeyType(abi::CK_KEY_TYPE keyType) const noexcept;
    // The bytes of the operation record's chaining value the back end
    // receives: the IV length, and 8 for GOST ECB, which ignores it.
    std::size_t chainingBytes() const noexcept;
};

// The row of `type`, or null for a mechanism outside the table.
const CipherMechanism* findCipherMechanism(abi::CK_MECHANISM_TYPE type) noexcept;

}  // namespace korva::ciphers
