// Slots 29 and 33: the mechanism, the key and the initial vector, checked
// before the operation record is written.
#include "ciphers/cipher_key.h"
#include "ciphers/cipher_mechanisms.h"
#include "ciphers/cipher_operations.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>

namespace korva::ciphers {
namespace {

using namespace korva::abi;

// The IV of the CBC and CFB mechanisms, of exactly their length, may be
// left out (zeros); the other mechanisms take no parameter at all.
CK_RV storeParameter(const CK_MECHANISM& given, const CipherMechanism& mechanism, OperationRecord& state) noexcept {
    if (given.pParameter == nullptr) return CKR_OK;
    if (mechanism.ivLength == 0 || given.ulParameterLen != mechanism.ivLength) return CKR_MECHANISM_PARAM_INVALID;
    const auto* iv = static_cast<const uint8_t*>(given.pParameter);
    std::copy_n(iv, mechanism.ivLength, state.cipher.chainingValue);
    return CKR_OK;
}

CK_RV initialise(const HostContext& host, const CK_MECHANISM* given, const ObjectHandle* key, OperationRecord* state,
                 CipherDirection direction) noexcept {
    if (given == nullptr || key == nullptr || state == nullptr) return CKR_FUNCTION_FAILED;
    const CipherMechanism* mechanism = findCipherMechanism(given->mechanism);
    if (mechanism == nullptr) return CKR_MECHANISM_INVALID;
    if (const CK_RV rv = checkCipherKey(host, *key, *mechanism, direction); rv != CKR_OK) return rv;
    OperationRecord fresh{};
    if (const CK_RV rv = storeParameter(*given, *mechanism, fresh); rv != CKR_OK) {
        *state = OperationRecord{};
        return rv;
    }
    *state = fresh;
    return CKR_OK;
}

}  // namespace

CK_RV encryptInit(const HostContext& host, const CK_MECHANISM* mechanism, const ObjectHandle* key,
                  OperationRecord* state) noexcept {
    return initialise(host, mechanism, key, state, CipherDirection::kEncrypt);
}

CK_RV decryptInit(const HostContext& host, const CK_MECHANISM* mechanism, const ObjectHandle* key,
                  OperationRecord* state) noexcept {
    return initialise(host, mechanism, key, state, CipherDirection::kDecrypt);
}

}  // namespace korva::ciphers
