// The back ends that use the card: its own DES and AES ciphers with the key
// it keeps at 63 nn, and GOST 28147-89 with the key read from 63 nn.
#include "ciphers/cipher_backends.h"
#include "ciphers/gost28147.h"
#include "ciphers/gost_cfb.h"

#include "card/files.h"
#include "card/security_env.h"
#include "card/security_ops.h"
#include "card/select.h"
#include "objects/directory_files.h"
#include "objects/layout.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>

namespace korva::ciphers::detail {
namespace {

using namespace korva::abi;

// The card takes at most 224 bytes of data per command; the last piece of
// an encryption carries the padding as well (at most 240 bytes).
constexpr std::size_t kPiece = 224;

// The key reference of the card key at 63 nn, when the record number can
// have one.
std::optional<uint8_t> secretKeyReference(uint8_t record) noexcept {
    if (record == 0 || record > 0xFF - objects::kSecretKeyReferenceBase) return std::nullopt;
    return uint8_t(objects::kSecretKeyReferenceBase + record);
}

CardResult cipherPiece(CardContext& context, CipherDirection direction, std::span<const uint8_t> piece, bool chain,
                       std::span<uint8_t> out) noexcept {
    std::size_t length = 0;
    const CardResult rc = direction == CipherDirection::kEncrypt ? card::encipher(context, piece, chain, out, length)
                                                                 : card::decipher(context, piece, chain, out, length);
    if (rc != result::kOk) return rc;
    // Whole blocks in, as many bytes out: anything else is not our data.
    return length == piece.size() ? result::kOk : result::kUnexpected;
}

}  // namespace

CK_RV cardCipher(CardContext& context, const CipherRequest& request, std::span<const uint8_t> data,
                 std::size_t unpaddedLength, WipedBytes& output) {
    const CipherMechanism& mechanism = *request.mechanism;
    const std::optional<uint8_t> reference = secretKeyReference(request.key.record);
    if (mechanism.cardAlgorithm == 0 || !reference || data.empty()) return CKR_FUNCTION_FAILED;
    if (card::setCipherEnvironment(context, *reference, mechanism.cardAlgorithm, mechanism.block,
                                   request.chainingValue) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    output.assign(data.size(), 0);
    // Pieces of 224 bytes chained while more than 224 of the caller's bytes
    // remain; the rest, with any padding, closes the chain.
    std::size_t done = 0;
    while (unpaddedLength - std::min(done, unpaddedLength) > kPiece) {
        const auto piece = data.subspan(done, kPiece);
        if (cipherPiece(context, request.direction, piece, true, std::span(output).subspan(done, kPiece)) !=
            result::kOk) {
            return CKR_FUNCTION_FAILED;
        }
        done += kPiece;
    }
    const auto last = data.subspan(done);
    return cipherPiece(context, request.direction, last, false, std::span(output).subspan(done)) == result::kOk
               ? CKR_OK
               : CKR_FUNCTION_FAILED;
}

CK_RV gostCipher(CardContext& context, const CipherRequest& request, std::span<const uint8_t> data,
                 WipedBytes& output) {
    WipedBytes body(1 + kGostKeyBytes, 0);
    if (card::selectFile(context, objects::ownBodyOf(objects::ObjectClass::SecretKey, request.key.record)) !=
            result::kOk ||
        card::readBinary(context, 0, body) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    const uint8_t code = body[0];
    const std::span<const uint8_t, kGostKeyBytes> key(body.data() + 1, kGostKeyBytes);
    const auto direction =
        request.direction == CipherDirection::kEncrypt ? GostDirection::kEncrypt : GostDirection::kDecrypt;
    output.assign(data.size(), 0);
    if (request.mechanism->engine == CipherEngine::kGostEcb) {
        return gostEcb(code, key, data, output, direction) ? CKR_OK : CKR_FUNCTION_FAILED;
    }
    if (request.chainingValue.size() != kGostBlockBytes) return CKR_FUNCTION_FAILED;
    const std::span<const uint8_t, kGostBlockBytes> iv(request.chainingValue.data(), kGostBlockBytes);
    return gostCfb(code, key, iv, data, output, direction) ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace korva::ciphers::detail
