#include "messages/certificate_request.h"

#include "messages/der_output.h"
#include "messages/message_key.h"
#include "messages/openssl_handles.h"
#include "messages/request_body.h"
#include "messages/request_keys.h"

#include "objects/attribute_record.h"
#include "objects/layout.h"
#include "objects/object_bodies.h"
#include "session/mechanisms.h"
#include "session/settings.h"
#include "sign/card_signature.h"
#include "sign/gost_hash.h"
#include "sign/signature_mechanisms.h"

#include <korva/pkcs11_constants.h>

#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <vector>

namespace korva::messages {
namespace {

using namespace korva::abi;

// DigestInfo of SHA-1 before the 20 hash bytes.
constexpr std::array<uint8_t, 15> kSha1DigestInfoPrefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                                           0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

// The host's lists, read entry by entry as the request is built. A null
// block with entries to read is a bad argument.
bool readLists(const RequestArguments& arguments, RequestLists& lists) {
    if ((arguments.subject == nullptr && arguments.subjectCount != 0) ||
        (arguments.attributes == nullptr && arguments.attributeCount != 0)) {
        return false;
    }
    lists.subject = TextList(arguments.subject, arguments.subjectCount, EntryShape::kPairs);
    lists.attributes = TextList(arguments.attributes, arguments.attributeCount, EntryShape::kPairs);
    // A null extension list asks for no extension request, whatever the count.
    if (arguments.extensions != nullptr) {
        const EntryShape shape = arguments.extensionFormat == 0 ? EntryShape::kTriples : EntryShape::kPairs;
        lists.extensions = TextList(arguments.extensions, arguments.extensionCount, shape);
    }
    return true;
}

// The private half must be on the token: the given handle must name a
// directory, or a private key must carry the public key's CKA_ID.
CK_RV checkPrivateKey(CardContext& context, const ObjectHandle* privateKey, const MessageKey& publicKey) {
    if (isGivenHandle(privateKey)) {
        return objects::layoutForDirectory(objects::handleDirectory(*privateKey)) ? CKR_OK : CKR_OBJECT_HANDLE_INVALID;
    }
    uint8_t record = 0;
    return findPrivateKeyFor(context, publicKey.record.view(), record) == result::kOk ? CKR_OK : CKR_FUNCTION_FAILED;
}

// The request information as signed: everything but the signature.
bool requestInfo(X509_REQ* request, int signatureNid, std::vector<uint8_t>& der) {
    const X509AlgorPtr algorithm(X509_ALGOR_new());
    if (!algorithm || X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(signatureNid), V_ASN1_NULL, nullptr) != 1 ||
        X509_REQ_set1_signature_algo(request, algorithm.get()) != 1) {
        return false;
    }
    const int length = i2d_re_X509_REQ_tbs(request, nullptr);
    if (length <= 0) return false;
    der.resize(std::size_t(length));
    unsigned char* cursor = der.data();
    return i2d_re_X509_REQ_tbs(request, &cursor) == length;
}

bool setSignature(X509_REQ* request, std::span<const uint8_t> signature) {
    ASN1_BIT_STRING* bits = ASN1_BIT_STRING_new();
    if (bits == nullptr ||
        ASN1_BIT_STRING_set(bits, const_cast<uint8_t*>(signature.data()), int(signature.size())) != 1) {
        ASN1_BIT_STRING_free(bits);
        return false;
    }
    // Whole bytes: without this, OpenSSL would count the trailing zero bits
    // of the last signature byte as unused and drop them from the value.
    bits->flags &= ~0x07L;
    bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
    X509_REQ_set0_signature(request, bits);
    return true;
}

// The profile of a 256-bit key: GOST R 34.11-2012 when the attribute list
// asks for it or the key is hashed with it, else the 2001 profile.
bool chooseGostProfile(const MessageKey& key, const RequestLists& lists, const GostProfile*& profile) {
    const objects::RecordLookup digest = objects::findInRecord(key.record.view(), CKA_GOSTR3411_PARAMS);
    if (digest.result == objects::LookupResult::Malformed) return false;
    const bool keyUses2012 =
        digest.result == objects::LookupResult::Found && std::ranges::equal(digest.value, token::kStreebog256);
    profile = asksForGost2012Profile(lists.attributes) || keyUses2012 ? &kGost2012_256Profile : &kGost2001Profile;
    return true;
}

CK_RV signGost(CardContext& context, X509_REQ* request, const MessageKey& key, const RequestLists& lists) {
    const GostProfile* profile = nullptr;
    if (!chooseGostProfile(key, lists, profile)) return CKR_FUNCTION_FAILED;
    objects::KeyPublicPart part;
    if (objects::readKeyPublicPart(context, {objects::cardKeyFileId(key.reference), true}, part) != result::kOk ||
        part.kind != objects::KeyPublicPart::Kind::Gost) {
        return CKR_FUNCTION_FAILED;
    }
    // A 512-bit key has one profile only, whatever the lists say.
    if (part.point.size() == 2 * kGost2012_512Profile.hashLength) profile = &kGost2012_512Profile;
    const CurveRow* curve = curveForCode(key.curveCode, key.exchange, profile == &kGost2012_512Profile);
    const EvpPkeyPtr publicKey = curve ? gostPublicKey(*profile, *curve, part.point) : nullptr;
    if (!publicKey) return CKR_FUNCTION_FAILED;

    if (const CK_RV rv = buildRequestBody(request, publicKey.get(), lists); rv != CKR_OK) return rv;
    std::vector<uint8_t> info;
    if (!requestInfo(request, profile->signatureNid, info)) return CKR_FUNCTION_FAILED;
    std::array<uint8_t, sign::kLongestGostHash> hash{};
    const auto digest = std::span(hash).first(profile->hashLength);
    if (sign::hashByName(profile->digestName, info, digest) != digest.size()) return CKR_FUNCTION_FAILED;
    std::array<uint8_t, 2 * sign::kLongestGostHash> signature{};
    const auto value = std::span(signature).first(2 * profile->hashLength);
    // Reading the public key left the key directory selected.
    if (sign::signGostHash(context, key.reference, digest, value, sign::KeyDirectory::kAlreadySelected) !=
        result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    return setSignature(request, value) ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV signRsa(CardContext& context, X509_REQ* request, const MessageKey& key, const RequestLists& lists) {
    objects::KeyPublicPart part;
    const objects::KeyBody body{objects::bodyFileId(objects::kKeyPairBodyPrefix, key.bodyRecord), false};
    if (objects::readKeyPublicPart(context, body, part) != result::kOk ||
        part.kind != objects::KeyPublicPart::Kind::Rsa) {
        return CKR_FUNCTION_FAILED;
    }
    const EvpPkeyPtr publicKey = rsaPublicKey(part.modulus, part.publicExponent);
    if (!publicKey) return CKR_FUNCTION_FAILED;

    if (const CK_RV rv = buildRequestBody(request, publicKey.get(), lists); rv != CKR_OK) return rv;
    std::vector<uint8_t> info;
    if (!requestInfo(request, NID_sha1WithRSAEncryption, info)) return CKR_FUNCTION_FAILED;
    std::array<uint8_t, kSha1DigestInfoPrefix.size() + SHA_DIGEST_LENGTH> digestInfo{};
    std::ranges::copy(kSha1DigestInfoPrefix, digestInfo.begin());
    SHA1(info.data(), info.size(), digestInfo.data() + kSha1DigestInfoPrefix.size());
    std::array<uint8_t, sign::kRsaModulusBytes> signature{};
    if (sign::signRsa(context, key.reference, digestInfo, signature) != result::kOk) return CKR_FUNCTION_FAILED;
    return setSignature(request, signature) ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV encodeRequest(X509_REQ* request, uint8_t* output, CK_ULONG* outputLength) {
    const int length = i2d_X509_REQ(request, nullptr);
    if (length <= 0) return CKR_FUNCTION_FAILED;
    std::vector<uint8_t> der(std::size_t(length), 0);
    unsigned char* cursor = der.data();
    if (i2d_X509_REQ(request, &cursor) != length) return CKR_FUNCTION_FAILED;
    return deliverDer(der, output, outputLength);
}

}  // namespace

CK_RV createCertificateRequest(const HostContext& host, const RequestArguments& arguments) {
    if (arguments.publicKey == nullptr) return CKR_FUNCTION_FAILED;
    if (arguments.outputLength == nullptr || !token::copyHostSettings(arguments.settings)) return CKR_ARGUMENTS_BAD;
    RequestLists lists;
    if (!readLists(arguments, lists)) return CKR_ARGUMENTS_BAD;
    const OpenSslErrorMark mark;

    CardContext context(host);
    if (openApplication(context, arguments.login) != CKR_OK) return CKR_FUNCTION_FAILED;
    const uint16_t directory = objects::handleDirectory(*arguments.publicKey);
    if (objects::layoutForDirectory(directory) == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    MessageKey key;
    if (const CK_RV rv = loadMessageKey(context, directory, arguments.publicKey->record, key); rv != CKR_OK) return rv;
    if (const CK_RV rv = checkPrivateKey(context, arguments.privateKey, key); rv != CKR_OK) return rv;

    const X509ReqPtr request(X509_REQ_new());
    if (!request) return CKR_HOST_MEMORY;
    const CK_RV signedRv = key.family == objects::KeyFamily::Gost ? signGost(context, request.get(), key, lists)
                                                                  : signRsa(context, request.get(), key, lists);
    if (signedRv != CKR_OK) return signedRv;
    return encodeRequest(request.get(), arguments.output, arguments.outputLength);
}

}  // namespace korva::messages
