#include "keys/rsa_key_pair.h"

#include "keys/rsa_key_files.h"
#include "ciphers/rsa_software.h"

#include "card/security_ops.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <array>

namespace korva::keys {
namespace {

std::array<uint8_t, 3> exponentBytes(uint32_t exponent) noexcept {
    return {static_cast<uint8_t>(exponent >> 16), static_cast<uint8_t>(exponent >> 8), static_cast<uint8_t>(exponent)};
}

// One key into the card: the private exponent into its file, the whole key
// into the key object. `modulus` receives the modulus the card must show.
CardResult loadSoftwareKey(CardContext& context, const RsaKeyFiles& files, uint32_t exponent, ExponentFile exponentFile,
                           WipedBytes& modulus) noexcept {
    ciphers::SoftwareRsaKey key;
    if (!ciphers::generateSoftwareRsaKey(exponent, key)) return result::kUnexpected;
    const CardResult rc =
        loadRsaKey(context, files, true, exponentBytes(exponent), key.modulus, key.privateExponent, exponentFile);
    if (rc == result::kOk) modulus.swap(key.modulus);
    return rc;
}

// The key object is the current file after its creation, and stays so.
CardResult generateOnCard(CardContext& context, const RsaKeyFiles& files, uint32_t exponent) noexcept {
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
    if (!expectedModulus.empty() &&
        !std::equal(modulus.begin(), modulus.end(), expectedModulus.begin(), expectedModulus.end())) {
        return Readback::Failed;
    }
    return (modulus[0] & 0x80) != 0 ? Readback::Usable : Readback::ShortModulus;
}

CK_RV generateAndCheck(CardContext& context, const RsaKeyFiles& files, uint32_t exponent, bool mayDecrypt) noexcept {
    for (std::size_t attempt = 0; attempt < kRsaGenerationAttempts; ++attempt) {
        WipedBytes loadedModulus;
        // The first load follows the files' creation; a later one follows
        // the read-back of the key object.
        const ExponentFile exponentFile = attempt == 0 ? ExponentFile::kCurrent : ExponentFile::kSelect;
        const CardResult rc = mayDecrypt ? loadSoftwareKey(context, files, exponent, exponentFile, loadedModulus)
                                         : generateOnCard(context, files, exponent);
        if (rc != result::kOk) return abi::CKR_FUNCTION_FAILED;
        switch (readBack(context, loadedModulus)) {
            case Readback::Usable: return abi::CKR_OK;
            case Readback::Failed: return abi::CKR_FUNCTION_FAILED;
            case Readback::ShortModulus: break;
        }
    }
    return abi::CKR_DEVICE_ERROR;
}

CK_RV prepareLists(std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                   KeyPairLists& lists, PrivateFlags& flags) noexcept {
    if (const CK_RV rv = copyTemplates(publicTemplate, privateTemplate, lists); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = prepareRsaLists(lists); rv != abi::CKR_OK) return rv;
    return readPrivateFlags(lists, flags);
}

}  // namespace

CK_RV generateRsaKeyPair(const HostContext& host, const abi::LoginRecord* login, const token::TokenSettings& settings,
                         std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                         const KeyPairOutputs& outputs) noexcept {
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
    const RsaKeyFiles files = rsaKeyFilesOf(records.publicRecord);

    // A pair that fails from here on leaves no half of it on the token: its
    // files go and its records stay free.
    card::WriteRollback rollback(context);
    if (!rollback.onUndo([files](CardContext& undo) { deleteRsaKeyFiles(undo, files); })) {
        return abi::CKR_FUNCTION_FAILED;
    }
    CK_RV rv = createRsaKeyFiles(context, files, mayDecrypt);
    if (rv == abi::CKR_OK) rv = generateAndCheck(context, files, exponent, mayDecrypt);
    if (rv == abi::CKR_OK) rv = storePair(context, lists, records, encoded, false, rollback);
    if (rv != abi::CKR_OK) return rv;
    rollback.commit();
    reportPair(records, flags, outputs);
    return abi::CKR_OK;
}

}  // namespace korva::keys
