#include "keys/rsa_key_files.h"

#include "card/card_result.h"
#include "card/files.h"
#include "card/credentials.h"
#include "card/select.h"
#include "card/templates.h"
#include "objects/directory_files.h"
#include "objects/layout.h"

#include <korva/pkcs11_constants.h>

namespace korva::keys {
namespace {

// The key object's attributes: an RSA key file (card::kRsaKeyFileKind) ...
constexpr uint8_t kRsaKey8E = 0x02;
constexpr uint8_t kRsaKeyFlag = 0x01;
// ... and the private exponent's file, readable and writable by the user.
constexpr uint8_t kUserOnly = 0x12;
constexpr uint16_t kPrivateExponentSize = 128;

// An earlier key of the same number goes first; the card refuses that to a
// user who has not logged in.
abi::CK_RV removeOldFile(CardContext& context, uint16_t fileId) noexcept {
    const CardResult rc = objects::deleteIfPresent(context, fileId);
    if (rc == result::kOk) return abi::CKR_OK;
    return rc == result::kSecurity ? abi::CKR_USER_NOT_LOGGED_IN : abi::CKR_FUNCTION_FAILED;
}

}  // namespace

RsaKeyFiles rsaKeyFilesOf(uint8_t publicRecord) noexcept {
    const uint16_t keyObject = objects::bodyFileId(objects::kKeyPairBodyPrefix, publicRecord);
    return {keyObject, static_cast<uint16_t>(keyObject | objects::kPrivateExponentFileBit),
            static_cast<uint8_t>(objects::kKeyPairReferenceBase + publicRecord)};
}

abi::CK_RV createRsaKeyFiles(CardContext& context, const RsaKeyFiles& files, bool mayDecrypt) noexcept {
    if (const abi::CK_RV rv = removeOldFile(context, files.keyObject); rv != abi::CKR_OK) return rv;
    const card::KeyFileFirstForm key{card::kRsaKeyFileKind, files.keyReference, kRsaKey8E, kRsaKeyFlag};
    if (const abi::CK_RV rv = creationToRv(card::createKeyFile(context, files.keyObject, key)); rv != abi::CKR_OK) {
        return rv;
    }
    if (!mayDecrypt) return abi::CKR_OK;
    if (const abi::CK_RV rv = removeOldFile(context, files.privateExponent); rv != abi::CKR_OK) return rv;
    return creationToRv(card::createTransparentFile(context, files.privateExponent, kPrivateExponentSize,
                                                    card::TransparentProfile::kSecond, kUserOnly, kUserOnly));
}

CardResult loadRsaKey(CardContext& context, const RsaKeyFiles& files, bool mayDecrypt,
                      std::span<const uint8_t> publicExponent, std::span<const uint8_t> modulus,
                      std::span<const uint8_t> privateExponent, ExponentFile exponentFile) noexcept {
    CardResult rc = result::kOk;
    if (mayDecrypt) {
        if (exponentFile == ExponentFile::kSelect) rc = card::selectFile(context, files.privateExponent);
        if (rc == result::kOk) rc = card::updateBinary(context, 0, privateExponent);
    }
    if (rc == result::kOk) rc = card::selectFile(context, files.keyObject);
    if (rc == result::kOk)
        rc = card::loadKeyPair(context, files.keyReference, publicExponent, modulus, privateExponent);
    return rc;
}

void deleteRsaKeyFiles(CardContext& context, const RsaKeyFiles& files) noexcept {
    // The key load is a chained command: when its last part went astray, the
    // card still waits for it and refuses the next command, which ends the
    // chain; the second selection then reaches the card.
    if (card::selectApplicationSubdirectory(context) != result::kOk &&
        card::selectApplicationSubdirectory(context) != result::kOk) {
        return;
    }
    (void)objects::deleteIfPresent(context, files.privateExponent);
    (void)objects::deleteIfPresent(context, files.keyObject);
}

}  // namespace korva::keys
