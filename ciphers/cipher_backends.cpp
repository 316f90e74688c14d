// cipherWithBackend, the padding it adds and removes, and the software triple-DES
// back end.
#include "ciphers/cipher_backends.h"

#include "card/files.h"
#include "card/select.h"
#include "common/openssl_ptr.h"
#include "objects/directory_files.h"
#include "objects/layout.h"
#include "session/pin.h"

#include <korva/pkcs11_constants.h>

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <new>

namespace korva::ciphers {
namespace {

using namespace korva::abi;

constexpr std::size_t kTripleDesKeyBytes = 24;

CK_RV tripleDes(const CipherRequest& request, std::span<const uint8_t> key, std::span<const uint8_t> data,
                WipedBytes& output) {
    const bool ecb = request.mechanism->type == CKM_DES3_ECB;
    if (data.size() > INT_MAX || (!ecb && request.chainingValue.size() != 8)) return CKR_FUNCTION_FAILED;
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    if (!context) return CKR_HOST_MEMORY;
    const int encrypt = request.direction == CipherDirection::kEncrypt ? 1 : 0;
    const uint8_t* iv = ecb ? nullptr : request.chainingValue.data();
    output.assign(data.size() + 8, 0);
    int written = 0;
    int finished = 0;
    if (EVP_CipherInit_ex(context.get(), ecb ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc(), nullptr, key.data(), iv,
                          encrypt) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_CipherUpdate(context.get(), output.data(), &written, data.data(), int(data.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), output.data() + written, &finished) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    output.resize(std::size_t(written) + std::size_t(finished));
    return CKR_OK;
}

// A session key's CKA_VALUE (at most 24 bytes) at the front of a zeroed
// 24-byte key.
CK_RV sessionTripleDes(const HostContext& host, const CipherRequest& request, std::span<const uint8_t> data,
                       WipedBytes& output) {
    const SessionObject* object = sessionSecretKey(host, request.key);
    if (object == nullptr) return CKR_FUNCTION_FAILED;
    const auto value = sessionAttribute(*object, CKA_VALUE);
    if (!value || value->size() > kTripleDesKeyBytes) return CKR_FUNCTION_FAILED;
    WipedBytes key(kTripleDesKeyBytes, 0);
    std::ranges::copy(*value, key.begin());
    return tripleDes(request, key, data, output);
}

// A three-key token key: the 24 bytes of body 63 nn, read after the login.
CK_RV tokenTripleDes(CardContext& context, const CipherRequest& request, std::span<const uint8_t> data,
                     WipedBytes& output) {
    WipedBytes key(kTripleDesKeyBytes, 0);
    if (token::loginWith(context, request.login) != result::kOk ||
        card::selectFile(context, objects::ownBodyOf(objects::ObjectClass::SecretKey, request.key.record)) !=
            result::kOk ||
        card::readBinary(context, 0, key) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    return tripleDes(request, key, data, output);
}

CK_RV onTheCard(CardContext& context, const CipherRequest& request, std::span<const uint8_t> data, std::size_t unpadded,
                WipedBytes& output) {
    if (card::selectApplicationSubdirectory(context) != result::kOk ||
        token::loginWith(context, request.login) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    if (request.mechanism->engine == CipherEngine::kCard) {
        return detail::cardCipher(context, request, data, unpadded, output);
    }
    return detail::gostCipher(context, request, data, output);
}

// The DES3 mechanisms: the key's record tells a three-key key, ciphered
// here, from a two-key one, which only the card holds.
CK_RV tripleDesOrCard(CardContext& context, const CipherRequest& request, std::span<const uint8_t> data,
                      std::size_t unpadded, WipedBytes& output) {
    TokenCipherKey key;
    if (card::selectApplicationSubdirectory(context) != result::kOk) return CKR_FUNCTION_FAILED;
    if (const CK_RV rv = readTokenCipherKey(context, request.key, request.direction, key); rv != CKR_OK) return rv;
    if (key.keyType == CKK_DES3) return tokenTripleDes(context, request, data, output);
    // The card back end opens with the application subdirectory and the
    // login step of its own, whatever ran before it.
    if (card::selectApplicationSubdirectory(context) != result::kOk ||
        token::loginWith(context, request.login) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    return detail::cardCipher(context, request, data, unpadded, output);
}

CK_RV dispatch(const HostContext& host, const CipherRequest& request, std::span<const uint8_t> data,
               std::size_t unpadded, WipedBytes& output) {
    const CipherEngine engine = request.mechanism->engine;
    if (engine == CipherEngine::kRsa) return CKR_FUNCTION_FAILED;  // whole blocks are not RSA's business
    // The data calls do not see the mechanism the key was checked against
    // at initialisation. A session key is known only to the host, and a key
    // outside the secret-key directory is not one the card keeps as 63 nn:
    // either way the record number would name another key on the card.
    if (objects::isSessionHandle(request.key)) {
        return engine == CipherEngine::kTripleDes ? sessionTripleDes(host, request, data, output)
                                                  : CKR_KEY_TYPE_INCONSISTENT;
    }
    const objects::ClassLayout* layout = objects::layoutForDirectory(objects::handleDirectory(request.key));
    if (layout == nullptr || layout->objectClass != objects::ObjectClass::SecretKey) return CKR_KEY_HANDLE_INVALID;
    CardContext context(host);
    if (engine == CipherEngine::kTripleDes) return tripleDesOrCard(context, request, data, unpadded, output);
    return onTheCard(context, request, data, unpadded, output);
}

}  // namespace

void addPadding(WipedBytes& data, std::size_t block) {
    const std::size_t pad = block - data.size() % block;
    data.insert(data.end(), pad, uint8_t(pad));
}

std::optional<std::size_t> unpaddedLength(std::span<const uint8_t> data, std::size_t block) noexcept {
    if (data.empty()) return std::nullopt;
    const std::size_t pad = data.back();
    if (pad == 0 || pad > block || pad > data.size()) return std::nullopt;
    const auto tail = data.last(pad);
    if (!std::ranges::all_of(tail, [pad](uint8_t byte) { return byte == pad; })) return std::nullopt;
    return data.size() - pad;
}

CK_RV cipherWithBackend(const HostContext& host, const CipherRequest& request, WipedBytes& output) noexcept {
    try {
        const CipherMechanism& mechanism = *request.mechanism;
        const bool padding = mechanism.padded && request.isFinal;
        const bool encrypt = request.direction == CipherDirection::kEncrypt;
        WipedBytes data(request.input.begin(), request.input.end());
        if (padding && encrypt) addPadding(data, mechanism.block);
        if (const CK_RV rv = dispatch(host, request, data, request.input.size(), output); rv != CKR_OK) return rv;
        if (padding && !encrypt) {
            const std::optional<std::size_t> length = unpaddedLength(output, mechanism.block);
            if (!length) return CKR_ENCRYPTED_DATA_INVALID;
            output.resize(*length);
        }
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
}

}  // namespace korva::ciphers
