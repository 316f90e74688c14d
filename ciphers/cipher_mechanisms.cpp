#include "ciphers/cipher_mechanisms.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <array>

namespace korva::ciphers {
namespace {

using namespace korva::abi;

constexpr CK_KEY_TYPE kRsaKeys[] = {CKK_RSA};
constexpr CK_KEY_TYPE kDesKeys[] = {CKK_DES};
constexpr CK_KEY_TYPE kTripleDesKeys[] = {CKK_DES2, CKK_DES3};
constexpr CK_KEY_TYPE kAesKeys[] = {CKK_AES};
constexpr CK_KEY_TYPE kGostKeys[] = {CKK_GOST28147};

constexpr uint8_t kEcb = 1;
constexpr uint8_t kCbc = 2;

constexpr std::array<CipherMechanism, 13> kMechanisms = {{
    {CKM_RSA_PKCS, CipherEngine::kRsa, 8, 0, false, false, 0, kRsaKeys},
    {CKM_RSA_X_509, CipherEngine::kRsa, 8, 0, false, false, 0, kRsaKeys},
    {CKM_DES_ECB, CipherEngine::kCard, 8, 0, false, false, kEcb, kDesKeys},
    {CKM_DES_CBC, CipherEngine::kCard, 8, 8, false, false, kCbc, kDesKeys},
    {CKM_DES_CBC_PAD, CipherEngine::kCard, 8, 8, true, false, kCbc, kDesKeys},
    {CKM_DES3_ECB, CipherEngine::kTripleDes, 8, 0, false, false, kEcb, kTripleDesKeys},
    {CKM_DES3_CBC, CipherEngine::kTripleDes, 8, 8, false, false, kCbc, kTripleDesKeys},
    {CKM_DES3_CBC_PAD, CipherEngine::kTripleDes, 8, 8, true, false, kCbc, kTripleDesKeys},
    {CKM_AES_ECB, CipherEngine::kCard, 16, 0, false, false, kEcb, kAesKeys},
    {CKM_AES_CBC, CipherEngine::kCard, 16, 16, false, false, kCbc, kAesKeys},
    {CKM_AES_CBC_PAD, CipherEngine::kCard, 16, 16, true, false, kCbc, kAesKeys},
    {CKM_GOST28147_ECB, CipherEngine::kGostEcb, 8, 0, false, false, 0, kGostKeys},
    {CKM_GOST28147, CipherEngine::kGostCfb, 8, 8, false, true, 0, kGostKeys},
}};

}  // namespace

bool CipherMechanism::acceptsKeyType(CK_KEY_TYPE keyType) const noexcept {
    return std::ranges::find(keyTypes, keyType) != keyTypes.end();
}

std::size_t CipherMechanism::chainingBytes() const noexcept { return engine == CipherEngine::kGostEcb ? 8 : ivLength; }

const CipherMechanism* findCipherMechanism(CK_MECHANISM_TYPE type) noexcept {
    const auto* found = std::ranges::find(kMechanisms, type, &CipherMechanism::type);
    return found == kMechanisms.end() ? nullptr : found;
}

}  // namespace korva::ciphers
