#include "messages/message_key.h"

#include "messages/curve_tables.h"

#include "card/select.h"
#include "card/templates.h"
#include "objects/attribute_record.h"
#include "objects/directory_files.h"
#include "objects/layout.h"
#include "objects/object_bodies.h"
#include "session/mechanisms.h"
#include "session/pin.h"
#include "sign/rsa_key_reference.h"

#include <korva/pkcs11_constants.h>

namespace korva::messages {
namespace {

using namespace korva::abi;

// The curve of a private key whose record lacks it: key-pair generation
// stores the caller's CKA_GOSTR3410_PARAMS in the public key's record only,
// so the public key with the same CKA_ID tells the curve of the pair.
objects::RecordLookup pairedCurve(CardContext& context, const MessageKey& key, objects::KeyRecord& paired) noexcept {
    uint8_t publicRecord = 0;
    if (objects::findMatchingPublicKey(context, key.record.view(), publicRecord) != result::kOk ||
        objects::readKeyRecord(context, objects::directoryOf(objects::ObjectClass::PublicKey), publicRecord, paired) !=
            objects::KeyRecordRead::kOk) {
        return {};
    }
    return objects::findInRecord(paired.view(), CKA_GOSTR3410_PARAMS);
}

CK_RV readGostKind(CardContext& context, uint16_t directoryId, MessageKey& key) noexcept {
    objects::RecordLookup curve = objects::findInRecord(key.record.view(), CKA_GOSTR3410_PARAMS);
    objects::KeyRecord paired;
    if (curve.result == objects::LookupResult::Absent &&
        directoryId == objects::directoryOf(objects::ObjectClass::PrivateKey)) {
        curve = pairedCurve(context, key, paired);
    }
    if (curve.result != objects::LookupResult::Found) return CKR_FUNCTION_FAILED;
    const std::optional<uint8_t> code = token::matchParameterSet(token::parameter_kind::kPublicKey, curve.value);
    if (!code) return CKR_FUNCTION_FAILED;
    key.family = objects::KeyFamily::Gost;
    key.curveCode = *code;
    key.exchange = namesExchangeSet(curve.value);
    return CKR_OK;
}

// A key without a key reference: its pair's body file (numbered after the
// public key's record) must be an RSA key file.
CK_RV readBodyKind(CardContext& context, uint16_t directoryId, uint8_t recordNumber, MessageKey& key) noexcept {
    const bool privateKey = directoryId == objects::directoryOf(objects::ObjectClass::PrivateKey);
    uint8_t reference = 0;
    if (sign::rsaKeyReference(context, key.record, recordNumber, privateKey, reference) != CKR_OK) {
        return CKR_FUNCTION_FAILED;
    }
    const auto bodyRecord = uint8_t(reference - objects::kKeyPairReferenceBase);
    if (card::selectFile(context, objects::bodyFileId(objects::kKeyPairBodyPrefix, bodyRecord)) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    if (context.fci.descriptor != card::kKeyFileDescriptor || context.fci.keyAttr85 != card::kRsaKeyFileKind) {
        return CKR_FUNCTION_FAILED;
    }
    key.family = objects::KeyFamily::Rsa;
    key.reference = reference;
    key.bodyRecord = bodyRecord;
    return CKR_OK;
}

}  // namespace

CK_RV openApplication(CardContext& context, const LoginRecord* login) noexcept {
    if (card::selectApplicationSubdirectory(context) != result::kOk) return CKR_FUNCTION_FAILED;
    return token::loginWith(context, login) == result::kOk ? CKR_OK : CKR_FUNCTION_FAILED;
}

bool isGivenHandle(const ObjectHandle* handle) noexcept {
    return handle != nullptr && (handle->record != 0 || handle->directoryHigh != 0);
}

CardResult findPrivateKeyFor(CardContext& context, std::span<const uint8_t> record, uint8_t& privateRecord) noexcept {
    const objects::RecordLookup id = objects::findInRecord(record, CKA_ID);
    if (id.result == objects::LookupResult::Malformed) return result::kUnexpected;
    if (id.result == objects::LookupResult::Absent) return result::kNotFound;
    return objects::findKeyRecordById(context, objects::directoryOf(objects::ObjectClass::PrivateKey), id.value,
                                      privateRecord);
}

CK_RV loadMessageKey(CardContext& context, uint16_t directoryId, uint8_t recordNumber, MessageKey& key) noexcept {
    if (const CK_RV rv = objects::loadKeyRecord(context, directoryId, recordNumber, key.record); rv != CKR_OK)
        return rv;
    switch (objects::keyReferenceOf(key.record.view(), key.reference)) {
        case objects::KeyReferenceLookup::Found: return readGostKind(context, directoryId, key);
        case objects::KeyReferenceLookup::None: return readBodyKind(context, directoryId, recordNumber, key);
        case objects::KeyReferenceLookup::Malformed: break;
    }
    return CKR_FUNCTION_FAILED;
}

CK_RV signingFailure(CardResult failure) noexcept {
    return failure == result::kSecurity ? CKR_USER_NOT_LOGGED_IN : CKR_FUNCTION_FAILED;
}

}  // namespace korva::messages
