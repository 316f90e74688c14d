#include "ciphers/gost_cfb.h"

#include "common/gost_engine.h"
#include "common/openssl_ptr.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <climits>

namespace korva::ciphers {

bool gostCfb(uint8_t parameterCode, std::span<const uint8_t, kGostKeyBytes> key,
             std::span<const uint8_t, kGostBlockBytes> iv, std::span<const uint8_t> input, std::span<uint8_t> output,
             GostDirection direction) noexcept {
    const char* parameterSet = gostParameterSetName(parameterCode);
    // The engine's GOST 28147-89 in CFB mode, passed explicitly: the module
    // relies on no process-wide default.
    const EVP_CIPHER* cipher = gost::cipher(NID_id_Gost28147_89);
    if (parameterSet == nullptr || cipher == nullptr || output.size() < input.size() || input.size() > INT_MAX) {
        return false;
    }
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    if (!context) return false;
    const int encrypt = direction == GostDirection::kEncrypt ? 1 : 0;
    // The engine takes the S-box and the key-meshing choice only before any
    // data has passed; its default S-box is not the card's, so always set it.
    if (EVP_CipherInit_ex(context.get(), cipher, gost::engine(), key.data(), iv.data(), encrypt) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>(parameterSet)) <= 0 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_KEY_MESH, 0, nullptr) <= 0 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return false;
    }
    int written = 0;
    int finished = 0;
    if (EVP_CipherUpdate(context.get(), output.data(), &written, input.data(), int(input.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), output.data() + written, &finished) != 1) {
        return false;
    }
    return std::size_t(written) + std::size_t(finished) == input.size();
}

}  // namespace korva::ciphers
