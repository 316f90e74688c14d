// Secret keys the library generates itself: the token ciphers with
// three-key triple DES and GOST 28147-89 keys but the module generates
// neither. The value comes from the card's random numbers and the key is
// stored through C_CreateObject, as a token or session object like any
// other.
#pragma once

#include "host/pkcs11_api.h"

#include <span>

namespace korva::host {

struct LibraryKeyGeneration {
    ck_mechanism_type_t mechanism;
    ck_key_type_t keyType;
    unsigned long length;  // bytes
    bool desParity;        // every byte of odd parity
};

inline constexpr LibraryKeyGeneration kLibraryKeyGenerations[] = {
    {CKM_DES3_KEY_GEN, CKK_DES3, 24, true},
    {CKM_GOST28147_KEY_GEN, CKK_GOST28147, 32, false},
};

inline std::span<const LibraryKeyGeneration> libraryKeyGenerations() { return kLibraryKeyGenerations; }

inline const LibraryKeyGeneration* findLibraryKeyGeneration(const ck_mechanism* mechanism) {
    if (mechanism == nullptr) return nullptr;
    for (const LibraryKeyGeneration& generation : kLibraryKeyGenerations)
        if (generation.mechanism == mechanism->mechanism) return &generation;
    return nullptr;
}

// C_GenerateKey for one of these mechanisms.
ck_rv_t generateFromCardRandom(const LibraryKeyGeneration& generation, ck_session_handle_t session,
                               const ck_mechanism& mechanism, const ck_attribute* attributes, unsigned long count,
                               ck_object_handle_t* key);

}  // namespace korva::host
