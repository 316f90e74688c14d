#include "host/mechanisms.h"

#include "host/hash_and_sign.h"
#include "host/key_generation.h"
#include "host/token.h"

#include <algorithm>

namespace korva::host {
namespace {

// Mechanisms the module lists but the token refuses: raw RSA is never
// accepted by its signature and cipher operations.
constexpr ck_mechanism_type_t kRefused[] = {CKM_RSA_X_509};

// Rows whose key sizes or flags the module understates.
struct Correction {
    ck_mechanism_type_t type;
    unsigned long minKeySize;
    unsigned long maxKeySize;
    ck_flags_t addedFlags;
};
constexpr Correction kCorrections[] = {
    // The token encrypts with an RSA public key and decrypts on the card.
    {CKM_RSA_PKCS, 0, 0, CKF_ENCRYPT | CKF_DECRYPT},
    // The card ciphers with AES keys of 16, 24 and 32 bytes.
    {CKM_AES_ECB, 16, 32, 0},
    {CKM_AES_CBC, 16, 32, 0},
    {CKM_AES_CBC_PAD, 16, 32, 0},
    // Triple DES takes two-key (16-byte) and three-key (24-byte) keys.
    {CKM_DES3_ECB, 16, 24, 0},
    {CKM_DES3_CBC, 16, 24, 0},
    {CKM_DES3_CBC_PAD, 16, 24, 0},
    // GOST 28147-89 key wrap is offered by C_WrapKey and C_UnwrapKey.
    {CKM_GOST28147_KEY_WRAP, 0, 0, CKF_WRAP | CKF_UNWRAP},
};

const MechanismEntry* find(const std::vector<MechanismEntry>& rows, ck_mechanism_type_t type) {
    const auto found =
        std::find_if(rows.begin(), rows.end(), [type](const MechanismEntry& row) { return row.type == type; });
    return found == rows.end() ? nullptr : &*found;
}

}  // namespace

std::vector<MechanismEntry> libraryMechanisms(const std::vector<MechanismEntry>& moduleRows) {
    std::vector<MechanismEntry> rows;
    for (MechanismEntry row : moduleRows) {
        if (std::ranges::find(kRefused, row.type) != std::end(kRefused)) continue;
        for (const Correction& correction : kCorrections) {
            if (correction.type != row.type) continue;
            if (correction.maxKeySize != 0) {
                row.minKeySize = correction.minKeySize;
                row.maxKeySize = correction.maxKeySize;
            }
            row.flags |= correction.addedFlags;
        }
        rows.push_back(row);
    }
    // Hash and sign: the card's RSA signature over the library's digest.
    if (const MechanismEntry* rsa = find(moduleRows, CKM_RSA_PKCS)) {
        for (const ck_mechanism_type_t type : hashAndSignTypes())
            rows.push_back({type, rsa->minKeySize, rsa->maxKeySize, CKF_HW | CKF_SIGN | CKF_VERIFY});
    }
    // Secret keys the library generates from the card's random numbers.
    for (const LibraryKeyGeneration& generation : libraryKeyGenerations())
        rows.push_back({generation.mechanism, generation.length, generation.length, CKF_GENERATE});
    return rows;
}

ck_rv_t tokenMechanisms(Token& token, std::vector<MechanismEntry>& entries) {
    // One query with room for every row the module has; asked again only
    // if a later module has more.
    std::vector<abi::MechanismInfoEntry> moduleRows(64);
    for (;;) {
        auto count = static_cast<abi::CK_ULONG>(moduleRows.size());
        const abi::CK_RV rv = token.module().getMechanismsWithInfo(token.context(), nullptr, moduleRows.data(), &count);
        if (rv == CKR_BUFFER_TOO_SMALL && count > moduleRows.size()) {
            moduleRows.resize(count);
            continue;
        }
        if (rv != CKR_OK) return rv;
        moduleRows.resize(std::min<size_t>(count, moduleRows.size()));
        break;
    }
    std::vector<MechanismEntry> rows;
    for (const abi::MechanismInfoEntry& row : moduleRows)
        rows.push_back({row.type, row.ulMinKeySize, row.ulMaxKeySize, row.flags});
    entries = libraryMechanisms(rows);
    return CKR_OK;
}

}  // namespace korva::host
