#include "ciphers/rsa_cipher.h"

#include "ciphers/cipher_key.h"
#include "ciphers/rsa_software.h"

#include "card/files.h"
#include "card/security_ops.h"
#include "card/select.h"
#include "common/output_length.h"
#include "common/wiped_bytes.h"
#include "objects/directory_files.h"
#include "objects/layout.h"
#include "session/pin.h"

#include <korva/pkcs11_constants.h>

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <new>

namespace korva::ciphers {
namespace {

using namespace korva::abi;

constexpr std::size_t kExponentBytes = 8;  // READ PUBLIC KEY: exponent, then modulus
constexpr std::size_t kPkcs1Overhead = 11;

// A key pair as the card keeps it, with the numbers read so far.
struct RsaKey {
    TokenCipherKey stored;
    uint8_t bodyRecord = 0;  // the pair's body files are numbered after the public key
    std::array<uint8_t, kExponentBytes> publicExponent{};
    std::array<uint8_t, kRsaModulusBytes> modulus{};
};

// A handle of the class the direction needs (a public key enciphers, a
// private key deciphers), then application subdirectory, login step, the
// key's record and its checks. The card's RSA keys are all 1024-bit: a record
// that says otherwise is not one of them.
CK_RV loadKey(CardContext& context, const LoginRecord* login, const ObjectHandle& handle,
              const CipherMechanism& mechanism, CipherDirection direction, RsaKey& key) noexcept {
    const objects::ClassLayout* layout = objects::layoutForDirectory(objects::handleDirectory(handle));
    const objects::ObjectClass needed =
        direction == CipherDirection::kEncrypt ? objects::ObjectClass::PublicKey : objects::ObjectClass::PrivateKey;
    if (layout == nullptr || layout->objectClass != needed) return CKR_KEY_HANDLE_INVALID;
    if (card::selectApplicationSubdirectory(context) != result::kOk ||
        token::loginWith(context, login) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    if (const CK_RV rv = readTokenCipherKey(context, handle, direction, key.stored); rv != CKR_OK) return rv;
    uint32_t bits = 0;
    if (objects::findNumberInRecord(key.stored.record.view(), CKA_MODULUS_BITS, bits) !=
        objects::NumberLookup::kFound) {
        return CKR_FUNCTION_FAILED;
    }
    if (const CK_RV rv = judgeCipherKey(key.stored.usageForbidden, key.stored.keyType, mechanism); rv != CKR_OK) {
        return rv;
    }
    key.bodyRecord = handle.record;
    return bits / 8 == kRsaModulusBytes ? CKR_OK : CKR_FUNCTION_FAILED;
}

// A private key's files are those of the public key with the same CKA_ID:
// a pair's files and key object are numbered after the public key's record
// (61 nn, E1 nn, key 0x60 + n), which the private key's own record number
// need not equal, and the wrong number would open another pair's exponent.
// Without such a public key, its own record number is the best guess.
CK_RV findBody(CardContext& context, RsaKey& key) noexcept {
    uint8_t paired = 0;
    const CardResult found = objects::findMatchingPublicKey(context, key.stored.record.view(), paired);
    if (found == result::kOk) {
        key.bodyRecord = paired;
    } else if (found != result::kNotFound) {
        return CKR_FUNCTION_FAILED;
    }
    return CKR_OK;
}

CK_RV readPublicKey(CardContext& context, RsaKey& key) noexcept {
    if (key.bodyRecord == 0 || key.bodyRecord > 0xFF - objects::kKeyPairReferenceBase) return CKR_FUNCTION_FAILED;
    std::array<uint8_t, kExponentBytes + kRsaModulusBytes> answer{};
    std::size_t length = 0;
    if (card::readPublicKey(context, uint8_t(objects::kKeyPairReferenceBase + key.bodyRecord), answer, length) !=
            result::kOk ||
        length != answer.size()) {
        return CKR_FUNCTION_FAILED;
    }
    std::copy_n(answer.begin(), kExponentBytes, key.publicExponent.begin());
    std::copy_n(answer.begin() + kExponentBytes, kRsaModulusBytes, key.modulus.begin());
    return CKR_OK;
}

// The private exponent kept beside the key pair's key object (E1 nn); its
// sibling files stay reachable without selecting the folder again.
CK_RV readPrivateExponent(CardContext& context, const RsaKey& key, WipedBytes& exponent) noexcept {
    const uint16_t file =
        uint16_t(objects::bodyFileId(objects::kKeyPairBodyPrefix, key.bodyRecord) | objects::kPrivateExponentFileBit);
    return card::selectFile(context, file) == result::kOk && card::readBinary(context, 0, exponent) == result::kOk
               ? CKR_OK
               : CKR_FUNCTION_FAILED;
}

// Needed length `needed`: a null output asks for it, a short one is told it.
CK_RV checkOutput(const uint8_t* output, CK_ULONG* outputLength, std::size_t needed) noexcept {
    return outputRoomRv<CK_RV>(claimOutput(output, *outputLength, needed));
}

// Non-zero random padding bytes from the cryptographic generator.
bool fillNonZeroRandom(std::span<uint8_t> out) noexcept {
    for (uint8_t& byte : out) {
        do {
            if (RAND_bytes(&byte, 1) != 1) return false;
        } while (byte == 0);
    }
    return true;
}

// 00 02 PS 00 M (PKCS#1 v1.5 type 2), or M with leading zeros.
bool buildBlock(const CipherMechanism& mechanism, std::span<const uint8_t> input,
                std::span<uint8_t, kRsaModulusBytes> block) noexcept {
    std::ranges::fill(block, uint8_t{0});
    std::ranges::copy(input, block.end() - std::ptrdiff_t(input.size()));
    if (mechanism.type != CKM_RSA_PKCS) return true;
    block[1] = 0x02;
    return fillNonZeroRandom(block.subspan(2, kRsaModulusBytes - input.size() - 3));
}

// The message of a decrypted block, or an empty optional when a PKCS#1 v1.5
// type-2 block is not what it should be.
std::optional<std::span<const uint8_t>> messageOf(const CipherMechanism& mechanism,
                                                  std::span<const uint8_t> block) noexcept {
    if (mechanism.type != CKM_RSA_PKCS) return block;
    if (block[0] != 0x00 || block[1] != 0x02) return std::nullopt;
    const auto separator = std::find(block.begin() + 2, block.end(), uint8_t{0});
    if (separator == block.end() || separator + 1 == block.end()) return std::nullopt;
    return block.subspan(std::size_t(separator + 1 - block.begin()));
}

}  // namespace

CK_RV rsaEncrypt(const HostContext& host, const LoginRecord* login, const ObjectHandle& handle,
                 const CipherMechanism& mechanism, std::span<const uint8_t> input, uint8_t* output,
                 CK_ULONG* outputLength) noexcept {
    CardContext context(host);
    RsaKey key;
    if (const CK_RV rv = loadKey(context, login, handle, mechanism, CipherDirection::kEncrypt, key); rv != CKR_OK) {
        return rv;
    }
    const std::size_t longest = mechanism.type == CKM_RSA_PKCS ? kRsaModulusBytes - kPkcs1Overhead : kRsaModulusBytes;
    if (input.size() > longest) return CKR_DATA_LEN_RANGE;
    if (const CK_RV rv = checkOutput(output, outputLength, kRsaModulusBytes); rv != CKR_OK || output == nullptr) {
        return rv;
    }
    std::array<uint8_t, kRsaModulusBytes> block{};
    const bool built =
        buildBlock(mechanism, input, block) && readPublicKey(context, key) == CKR_OK &&
        rsaRawOperation(key.modulus, key.publicExponent, false, block, std::span(output, kRsaModulusBytes));
    OPENSSL_cleanse(block.data(), block.size());
    return built ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV rsaDecrypt(const HostContext& host, const LoginRecord* login, const ObjectHandle& handle,
                 const CipherMechanism& mechanism, std::span<const uint8_t> input, uint8_t* output,
                 CK_ULONG* outputLength) noexcept {
    CardContext context(host);
    RsaKey key;
    if (const CK_RV rv = loadKey(context, login, handle, mechanism, CipherDirection::kDecrypt, key); rv != CKR_OK) {
        return rv;
    }
    if (input.size() != kRsaModulusBytes) return CKR_DATA_LEN_RANGE;
    if (output == nullptr) return checkOutput(output, outputLength, kRsaModulusBytes);
    try {
        WipedBytes privateExponent(kRsaModulusBytes, 0);
        WipedBytes block(kRsaModulusBytes, 0);
        if (findBody(context, key) != CKR_OK || readPrivateExponent(context, key, privateExponent) != CKR_OK ||
            readPublicKey(context, key) != CKR_OK ||
            !rsaRawOperation(key.modulus, privateExponent, true, input, block)) {
            return CKR_FUNCTION_FAILED;
        }
        const auto message = messageOf(mechanism, block);
        if (!message) return CKR_ENCRYPTED_DATA_INVALID;
        if (const CK_RV rv = checkOutput(output, outputLength, message->size()); rv != CKR_OK) return rv;
        std::ranges::copy(*message, output);
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
}

}  // namespace korva::ciphers
