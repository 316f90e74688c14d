#include "messages/signed_message.h"

#include "messages/card_certificates.h"
#include "messages/curve_tables.h"
#include "messages/der_output.h"
#include "messages/gost_profiles.h"
#include "messages/message_key.h"
#include "messages/pkcs7_signing.h"
#include "messages/request_keys.h"

#include "card/select.h"
#include "common/gost_engine.h"
#include "objects/directory_files.h"
#include "objects/layout.h"
#include "session/mechanisms.h"
#include "session/settings.h"
#include "sign/card_signature.h"
#include "sign/gost_hash.h"
#include "sign/signature_mechanisms.h"

#include <korva/pkcs11_constants.h>

#include <openssl/core_names.h>
#include <openssl/objects.h>

#include <array>
#include <utility>

namespace korva::messages {
namespace {

using namespace korva::abi;

// A SHA-1 DigestInfo: the 15-byte header and the hash.
constexpr std::size_t kSha1DigestInfoLength = 35;

struct Signing {
    CardContext& context;
    const MessageKey& key;
    X509* signer;
    MessageParts parts;
};

CK_RV findKeyRecord(CardContext& context, const MessageArguments& arguments,
                    const objects::KeyRecord& certificateRecord, uint16_t& directory, uint8_t& record) {
    if (isGivenHandle(arguments.privateKey)) {
        directory = objects::handleDirectory(*arguments.privateKey);
        record = arguments.privateKey->record;
        return objects::layoutForDirectory(directory) ? CKR_OK : CKR_OBJECT_HANDLE_INVALID;
    }
    directory = objects::directoryOf(objects::ObjectClass::PrivateKey);
    const objects::RecordLookup id = objects::findInRecord(certificateRecord.view(), CKA_ID);
    if (id.result == objects::LookupResult::Malformed) return CKR_FUNCTION_FAILED;
    if (id.result == objects::LookupResult::Absent) return CKR_OBJECT_HANDLE_INVALID;
    // A private-key directory without a record count is a damaged card;
    // otherwise a search that finds nothing, or breaks off on a record it
    // cannot read, leaves the certificate without a private key.
    if (card::selectFile(context, directory) != result::kOk || !objects::selectedRecordCount(context)) {
        return CKR_FUNCTION_FAILED;
    }
    return objects::searchSelectedDirectory(context, id.value, record) == result::kOk ? CKR_OK
                                                                                      : CKR_OBJECT_HANDLE_INVALID;
}

CK_RV readFurtherCertificates(CardContext& context, const token::TokenSettings& settings,
                              const MessageArguments& arguments, X509StackPtr& stack) {
    stack.reset(sk_X509_new_null());
    if (!stack) return CKR_HOST_MEMORY;
    if (arguments.certificates == nullptr) return CKR_OK;
    for (CK_ULONG i = 0; i < arguments.certificateCount; ++i) {
        X509Ptr certificate;
        const CK_RV rv = readCardCertificate(context, settings, arguments.certificates[i].handle, nullptr, certificate);
        if (rv != CKR_OK) return rv;
        if (sk_X509_push(stack.get(), certificate.get()) == 0) return CKR_HOST_MEMORY;
        certificate.release();  // the stack owns it now
    }
    return CKR_OK;
}

EvpPkeyPtr throwAwayGostKey(const GostProfile& profile, const MessageKey& key) {
    const EvpPkeyCtxPtr generation(EVP_PKEY_CTX_new_id(profile.keyNid, gost::engine()));
    EVP_PKEY* made = nullptr;
    if (!generation || EVP_PKEY_keygen_init(generation.get()) != 1 ||
        EVP_PKEY_CTX_ctrl_str(generation.get(), "paramset", engineParamset(key.curveCode, key.exchange)) != 1 ||
        EVP_PKEY_keygen(generation.get(), &made) != 1) {
        return nullptr;
    }
    return EvpPkeyPtr(made);
}

// With e = d = 1 the "signature" is the PKCS#1 v1.5 block itself, which
// shows the DigestInfo the card must sign. The modulus is the
// certificate's, so the block has the length of the real signature.
EvpPkeyPtr throwAwayRsaKey(EVP_PKEY* certificateKey) {
    BIGNUM* modulus = nullptr;
    if (EVP_PKEY_get_bn_param(certificateKey, OSSL_PKEY_PARAM_RSA_N, &modulus) != 1) return nullptr;
    const BignumPtr n(modulus);
    return rsaKey(n.get(), BN_value_one(), BN_value_one());
}

CK_RV finish(PKCS7* message, std::span<const uint8_t> signature, const MessageArguments& arguments) {
    ASN1_OCTET_STRING* value = signatureValue(message);
    if (value == nullptr || ASN1_OCTET_STRING_set(value, signature.data(), int(signature.size())) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    const std::vector<uint8_t> der = encodeMessage(message);
    if (der.empty()) return CKR_FUNCTION_FAILED;
    return deliverDer(der, arguments.output, arguments.outputLength);
}

CK_RV signGost(const Signing& signing, const MessageArguments& arguments) {
    EVP_PKEY* certificateKey = X509_get0_pubkey(signing.signer);
    const GostProfile* profile = certificateKey ? gostProfileOf(EVP_PKEY_get_base_id(certificateKey)) : nullptr;
    if (profile == nullptr) return CKR_FUNCTION_FAILED;
    if (profile != &kGost2001Profile && !token::supportsGost2012(signing.context)) return CKR_FUNCTION_FAILED;

    const EVP_MD* digest = gost::digest(OBJ_sn2nid(profile->digestName));
    std::array<uint8_t, sign::kLongestGostHash> hashBytes{};
    const auto hash = std::span(hashBytes).first(profile->hashLength);
    if (digest == nullptr || sign::hashByName(profile->digestName, signing.parts.data, hash) != hash.size()) {
        return CKR_FUNCTION_FAILED;
    }
    const EvpPkeyPtr placeholderKey = throwAwayGostKey(*profile, signing.key);
    const Pkcs7Ptr message =
        placeholderKey ? signWithPlaceholder(signing.parts, placeholderKey.get(), digest) : nullptr;
    const ASN1_OCTET_STRING* placeholder = message ? signatureValue(message.get()) : nullptr;
    if (placeholder == nullptr || std::size_t(ASN1_STRING_length(placeholder)) != 2 * hash.size()) {
        return CKR_FUNCTION_FAILED;
    }
    std::array<uint8_t, 2 * sign::kLongestGostHash> signatureBytes{};
    const auto signature = std::span(signatureBytes).first(2 * hash.size());
    if (const CardResult rc = sign::signGostHash(signing.context, signing.key.reference, hash, signature);
        rc != result::kOk) {
        return signingFailure(rc);
    }
    return finish(message.get(), signature, arguments);
}

CK_RV signRsa(const Signing& signing, const MessageArguments& arguments) {
    EVP_PKEY* certificateKey = X509_get0_pubkey(signing.signer);
    if (certificateKey == nullptr || EVP_PKEY_get_base_id(certificateKey) != EVP_PKEY_RSA) return CKR_DATA_INVALID;
    // The card's RSA keys are 1024-bit: it answers 128-byte signatures only.
    if (std::size_t(EVP_PKEY_get_size(certificateKey)) != sign::kRsaModulusBytes) return CKR_FUNCTION_FAILED;

    const EvpPkeyPtr placeholderKey = throwAwayRsaKey(certificateKey);
    const Pkcs7Ptr message =
        placeholderKey ? signWithPlaceholder(signing.parts, placeholderKey.get(), EVP_sha1()) : nullptr;
    const ASN1_OCTET_STRING* placeholder = message ? signatureValue(message.get()) : nullptr;
    if (placeholder == nullptr) return CKR_FUNCTION_FAILED;
    const std::span<const uint8_t> block(ASN1_STRING_get0_data(placeholder),
                                         std::size_t(ASN1_STRING_length(placeholder)));
    const std::span<const uint8_t> digestInfo = sign::unpadSignatureBlock(block);
    if (block.size() != sign::kRsaModulusBytes || digestInfo.size() != kSha1DigestInfoLength) {
        return CKR_FUNCTION_FAILED;
    }
    std::array<uint8_t, sign::kRsaModulusBytes> signature{};
    if (const CardResult rc = sign::signRsa(signing.context, signing.key.reference, digestInfo, signature);
        rc != result::kOk) {
        return signingFailure(rc);
    }
    return finish(message.get(), signature, arguments);
}

}  // namespace

CK_RV signMessage(const HostContext& host, const MessageArguments& arguments) {
    if (arguments.signerCertificate == nullptr || arguments.data == nullptr || arguments.dataLength == 0 ||
        arguments.outputLength == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const std::optional<token::TokenSettings> settings = token::copyHostSettings(arguments.settings);
    if (!settings || !std::in_range<int>(arguments.dataLength)) return CKR_ARGUMENTS_BAD;
    const OpenSslErrorMark mark;

    CardContext context(host);
    if (openApplication(context, arguments.login) != CKR_OK) return CKR_FUNCTION_FAILED;
    objects::KeyRecord certificateRecord;
    X509Ptr signer;
    if (const CK_RV rv =
            readCardCertificate(context, *settings, *arguments.signerCertificate, &certificateRecord, signer);
        rv != CKR_OK) {
        return rv;
    }
    uint16_t keyDirectory = 0;
    uint8_t keyRecord = 0;
    if (const CK_RV rv = findKeyRecord(context, arguments, certificateRecord, keyDirectory, keyRecord); rv != CKR_OK)
        return rv;
    MessageKey key;
    if (const CK_RV rv = loadMessageKey(context, keyDirectory, keyRecord, key); rv != CKR_OK) return rv;
    X509StackPtr further;
    if (const CK_RV rv = readFurtherCertificates(context, *settings, arguments, further); rv != CKR_OK) return rv;

    const Signing signing{context,
                          key,
                          signer.get(),
                          {signer.get(), further.get(), std::span(arguments.data, arguments.dataLength),
                           (arguments.flags & kDetachedFlag) != 0}};
    return key.family == objects::KeyFamily::Gost ? signGost(signing, arguments) : signRsa(signing, arguments);
}

}  // namespace korva::messages
