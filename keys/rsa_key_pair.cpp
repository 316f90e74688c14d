#include "keys/rsa_key_pair.h"

#include "keys/rsa_software.h"

#include "objects/directory_files.h"
#include "objects/layout.h"

#include "card/credentials.h"
#include "card/files.h"
#include "card/security_ops.h"
#include "card/select.h"
#include "card/templates.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <array>

namespace korva::keys {
namespace {

using objects::kKeyPairBodyPrefix;
using objects::kKeyPairReferenceBase;

// The key object's attributes: an RSA key (kind 22) ...
constexpr uint8_t kRsaKeyKind = 0x22;
constexpr uint8_t kRsaKey8E = 0x02;
constexpr uint8_t kRsaKeyFlag = 0x01;
// ... and the private exponent's file, readable and writable by the user.
constexpr uint8_t kUserOnly = 0x12;

struct KeyFiles {
    uint16_t keyObject;
    uint16_t privateExponent;
    uint8_t keyReference;
};

KeyFiles keyFilesOf(uint8_t publicRecord) noexcept {
    const uint16_t keyObject = objects::bodyFileId(kKeyPairBodyPrefix, publicRecord);
    return {keyObject, static_cast<uint16_t>(keyObject | objects::kPrivateExponentFileBit),
            static_cast<uint8_t>(kKeyPairReferenceBase + publicRecord)};
}

// An earlier key of the same number goes first; the card refuses that to a
// user who has not logged in.
CK_RV removeOldFile(CardContext& context, uint16_t fileId) noexcept {
    const CardResult rc = objects::deleteIfPresent(context, fileId);
    if (rc == result::kOk) return abi::CKR_OK;
    return rc == result::kSecurity ? abi::CKR_USER_NOT_LOGGED_IN : abi::CKR_FUNCTION_FAILED;
}

CK_RV createKeyFiles(CardContext& context, const KeyFiles& files, bool mayDecrypt) noexcept {
    if (const CK_RV rv = removeOldFile(context, files.keyObject); rv != abi::CKR_OK) return rv;
    const card::KeyFileFirstForm key{kRsaKeyKind, files.keyReference, kRsaKey8E, kRsaKeyFlag};
    if (const CK_RV rv = creationToRv(card::createKeyFile(context, files.keyObject, key)); rv != abi::CKR_OK) {
        return rv;
    }
    if (!mayDecrypt) return abi::CKR_OK;
    if (const CK_RV rv = removeOldFile(context, files.privateExponent); rv != abi::CKR_OK) return rv;
    return creationToRv(card::createTransparentFile(context, files.privateExponent, kRsaModulusBytes,
                                                      card::TransparentProfile::kSecond, kUserOnly, kUserOnly));
}

std::array<uint8_t, 3> exponentBytes(uint32_t exponent) noexcept {
    return {static_cast<uint8_t>(exponent >> 16), static_cast<uint8_t>(exponent >> 8), static_cast<uint8_t>(exponent)};
}

// One key into the card: the private exponent into its file, the whole key
// into the key object. `modulus` receives the modulus the card must show.
CardResult loadSoftwareKey(CardContext& context, const KeyFiles& files, uint32_t exponent,
                           WipedBytes& modulus) noexcept {
    SoftwareRsaKey key;
    if (!generateSoftwareRsaKey(exponent, key)) return result::kUnexpected;
    const std::array<uint8_t, 3> e = exponentBytes(exponent);
    CardResult rc = card::selectFile(context, files.privateExponent);
    if (rc == result::kOk) rc = card::updateBinary(context, 0, key.privateExponent);
    if (rc == result::kOk) rc = card::selectFile(context, files.keyObject);
    if (rc == result::kOk) rc = card::loadKeyPair(context, files.keyReference, e, key.modulus, key.privateExponent);
    if (rc == result::kOk) modulus.swap(key.modulus);
    return rc;
}

// The key object is the current file after its creation, and stays so.
CardResult generateOnCard(CardContext& context, const KeyFiles& files, uint32_t exponent) noexcept {
    return card::generateKeyPair(context, files.keyReference, exponentBytes(exponent));
}

enum class Readback : uint8_t { Usable, ShortModulus, Failed };

// The key as the card now holds it: a full answer whose modulus has its top
// bit, and for a loaded key the very modulus that was loaded.
Readback readBack(CardContext& context, const WipedBytes& expectedModulus) noexcept {
    std::array<uint8_t, kRsaPublicKeyAnswer> answer{};
    std::size_t length = 0;
    if (card::readPublicKey(context, 0, answer, length) != result::kOk || length != answer.size()) {
        return Readback::Failed;
    }
    const std::span<const uint8_t> modulus = std::span(answer).subspan(8);
    if (!expectedModulus.empty() && !std::equal(modulus.begin(), modulus.end(), expectedModulus.begin(),
                                                 expectedModulus.end())) {
        return Readback::Failed;
    }
    return (modulus[0] & 0x80) != 0 ? Readback::Usable : Readback::ShortModulus;
}

CK_RV generateAndCheck(CardContext& context, const KeyFiles& files, uint32_t exponent, bool mayDecrypt) noexcept {
    for (std::size_t attempt = 0; attempt < kRsaGenerationAttempts; ++attempt) {
        WipedBytes loadedModulus;
        const CardResult rc = mayDecrypt ? loadSoftwareKey(context, files, exponent, loadedModulus)
                                         : generateOnCard(context, files, exponent);
        if (rc != result::kOk) return abi::CKR_FUNCTION_FAILED;
        switch (readBack(context, loadedModulus)) {
            case Readback::Usable:
                return abi::CKR_OK;
            case Readback::Failed:
                return abi::CKR_FUNCTION_FAILED;
            case Readback::ShortModulus:
                break;
        }
    }
    return abi::CKR_DEVICE_ERROR;
}

// A pair that failed once its files existed: records free, files gone.
void discardPair(CardContext& context, const KeyPairRecords& records, const KeyFiles& files) noexcept {
    releaseRecords(context, records);
    (void)objects::deleteIfPresent(context, files.privateExponent);
    (void)objects::deleteIfPresent(context, files.keyObject);
}

CK_RV prepareLists(std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                   KeyPairLists& lists, PrivateFlags& flags) noexcept {
    if (const CK_RV rv = copyTemplates(publicTemplate, privateTemplate, lists); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = prepareRsaLists(lists); rv != abi::CKR_OK) return rv;
    return readPrivateFlags(lists, flags);
}

}  // namespace

CK_RV generateRsaKeyPair(const HostContext& host, const abi::LoginRecord* login,
                         const token::TokenSettings& settings, std::span<const CK_ATTRIBUTE> publicTemplate,
                         std::span<const CK_ATTRIBUTE> privateTemplate, const KeyPairOutputs& outputs) noexcept {
    CardContext context(host);
    uint32_t exponent = kDefaultRsaExponent;
    if (const CK_RV rv = checkRsaPublicTemplate(publicTemplate, exponent); rv != abi::CKR_OK) return rv;
    KeyPairLists lists;
    PrivateFlags flags;
    if (const CK_RV rv = prepareLists(publicTemplate, privateTemplate, lists, flags); rv != abi::CKR_OK) return rv;
    // The records do not depend on the card: one too long to store is known
    // before any directory grows.
    EncodedPair encoded;
    if (const CK_RV rv = encodeLists(lists, encoded); rv != abi::CKR_OK) return rv;

    KeyPairRecords records;
    if (const CK_RV rv = reserveRecords(context, login, settings, records); rv != abi::CKR_OK) return rv;
    const bool mayDecrypt = rsaMayDecrypt(lists);
    const KeyFiles files = keyFilesOf(records.publicRecord);

    CK_RV rv = createKeyFiles(context, files, mayDecrypt);
    if (rv == abi::CKR_OK) rv = generateAndCheck(context, files, exponent, mayDecrypt);
    if (rv == abi::CKR_OK) rv = storePair(context, lists, records, encoded, false);
    if (rv != abi::CKR_OK) {
        discardPair(context, records, files);
        return rv;
    }
    reportPair(records, flags, outputs);
    return abi::CKR_OK;
}

}  // namespace korva::keys
