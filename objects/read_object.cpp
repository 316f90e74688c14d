#include "objects/read_object.h"

#include "objects/certificate_fields.h"
#include "objects/object_bodies.h"

#include "card/select.h"

#include <algorithm>
#include <new>

namespace korva::objects {

namespace {

using abi::CK_RV;

constexpr uint32_t kUserType = 1;

// The object's record as read from its directory.
struct StoredObject {
    const ClassLayout* layout = nullptr;
    uint16_t directoryId = 0;
    uint8_t number = 0;
    DirectoryRecord bytes{};
    uint32_t length = 0;

    std::span<const uint8_t> record() const { return {bytes.data(), length}; }
    ObjectClass objectClass() const { return layout->objectClass; }
    uint32_t classNumber() const { return uint32_t(layout->objectClass); }
    uint16_t ownBody() const { return bodyFileId(layout->bodyPrefix, number); }
};

// Failures of the two readers differ only in how the directory step and
// the record read are reported.
struct ReadFailures {
    CK_RV directory;  // the directory file cannot be selected
    CK_RV record;     // the read fails or gives too few bytes
    uint32_t shortest;
};
constexpr ReadFailures kSetFailures{abi::CKR_FUNCTION_FAILED, abi::CKR_FUNCTION_FAILED, 4};
constexpr ReadFailures kTemplateFailures{abi::CKR_GENERAL_ERROR, abi::CKR_GENERAL_ERROR, 4};

// Selects the directory and reads the record. A search (bound given) that
// finds the directory missing or the record past its end is told so: the
// counts in the counters file can exceed what the card really holds.
CK_RV loadRecord(CardContext& context, const TokenSettings& settings, StoredObject& object,
                 const ReadFailures& failures, WalkBound* bound) {
    if (selectDirectoryParent(context, settings, object.directoryId) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    const CardResult selected = card::selectFile(context, object.directoryId);
    if (selected == result::kNotFound && bound != nullptr) {
        bound->beyondDirectory = true;
        return abi::CKR_OBJECT_HANDLE_INVALID;
    }
    if (selected != result::kOk) return failures.directory;
    if (bound != nullptr) {
        const std::optional<uint8_t> count = selectedRecordCount(context);
        if (!count || object.number > *count) {
            bound->beyondDirectory = true;
            return abi::CKR_OBJECT_HANDLE_INVALID;
        }
    }
    const CardResult read = readDirectoryRecord(context, object.number, object.bytes, object.length);
    if (read == result::kNotFound) return abi::CKR_OBJECT_HANDLE_INVALID;
    if (read != result::kOk || object.length < failures.shortest) return failures.record;
    if (isFreeRecord(object.record())) return abi::CKR_OBJECT_HANDLE_INVALID;
    if (leaveDirectoryParent(context, settings, object.directoryId) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    return abi::CKR_OK;
}

bool storedFlag(std::span<const uint8_t> record, uint32_t type, uint8_t expected) {
    const RecordLookup found = findInRecord(record, type);
    return found.result == LookupResult::Found && found.value.size() == 1 && found.value[0] == expected;
}

uint8_t privateFlag(std::span<const uint8_t> record) { return storedFlag(record, abi::CKA_PRIVATE, 1) ? 1 : 0; }

// Where a key's material is: the card key object named by its key
// reference, its own 61 nn (public key), or the 61 mm of the public key
// with the same CKA_ID (private key). kNotFound: the key has no body.
CardResult keyBodyOf(CardContext& context, const StoredObject& object, KeyBody& body) {
    uint8_t reference = 0;
    switch (keyReferenceOf(object.record(), reference)) {
        case KeyReferenceLookup::Malformed: return result::kUnexpected;
        case KeyReferenceLookup::Found: body = {cardKeyFileId(reference), true}; return result::kOk;
        case KeyReferenceLookup::None: break;
    }
    if (object.objectClass() == ObjectClass::PublicKey) {
        body = {object.ownBody(), false};
        return result::kOk;
    }
    uint8_t publicRecord = 0;
    const CardResult found = findMatchingPublicKey(context, object.record(), publicRecord);
    if (found != result::kOk) return found;
    body = {bodyFileId(kKeyPairBodyPrefix, publicRecord), false};
    return result::kOk;
}

// Reads the key's public part; a key without body, or whose body is
// missing, has none.
CardResult readKeyPart(CardContext& context, const StoredObject& object, KeyPublicPart& part) {
    KeyBody body;
    CardResult rc = keyBodyOf(context, object, body);
    if (rc == result::kOk) rc = readKeyPublicPart(context, body, part);
    const CardResult back = card::selectApplicationSubdirectory(context);
    if (rc == result::kNotFound) rc = result::kOk;
    return rc != result::kOk ? rc : back;
}

// The same for a whole object read into an attribute set (slots 62 and 64).
// A GOST private key shows no public values, so its key file's control
// information ends the read. Nothing is reselected: every object read
// selects its own directory first, and so does a search's next call.
CardResult readKeyPartForSet(CardContext& context, const StoredObject& object, KeyPublicPart& part) {
    KeyBody body;
    CardResult rc = keyBodyOf(context, object, body);
    const bool readGostPoint = object.objectClass() == ObjectClass::PublicKey;
    if (rc == result::kOk) rc = readKeyPublicPart(context, body, part, readGostPoint);
    return rc == result::kNotFound ? result::kOk : rc;
}

// A certificate body: the DER certificate and the fields parsed from it.
// An empty body gives empty fields.
CardResult readCertificate(CardContext& context, const StoredObject& object, WipedBytes& der,
                           CertificateFields& fields) {
    if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
    const CardResult read = readLengthPrefixedBody(context, object.ownBody(), der);
    const CardResult back = card::selectApplicationSubdirectory(context);
    if (read != result::kOk) return read;
    if (!der.empty() && !parseCertificateFields(der, fields)) return result::kUnexpected;
    return back;
}

// A secret key's value is shown only when the key may leave the card:
// CKA_EXTRACTABLE true and CKA_SENSITIVE present and not true.
bool secretValueReadable(std::span<const uint8_t> record) {
    const RecordLookup sensitive = findInRecord(record, abi::CKA_SENSITIVE);
    const bool notSensitive =
        sensitive.result == LookupResult::Found && !(sensitive.value.size() == 1 && sensitive.value[0] == 1);
    return storedFlag(record, abi::CKA_EXTRACTABLE, 1) && notSensitive;
}

// Protected: sensitive (absent counts as sensitive) or not extractable.
bool isProtected(std::span<const uint8_t> record) {
    const RecordLookup sensitive = findInRecord(record, abi::CKA_SENSITIVE);
    const bool sensitiveSet =
        sensitive.result != LookupResult::Found || (sensitive.value.size() == 1 && sensitive.value[0] == 1);
    return sensitiveSet || !storedFlag(record, abi::CKA_EXTRACTABLE, 1);
}

std::optional<uint32_t> storedKeyType(std::span<const uint8_t> record) {
    const RecordLookup found = findInRecord(record, abi::CKA_KEY_TYPE);
    if (found.result != LookupResult::Found || found.value.size() != 4) return std::nullopt;
    return readBigEndian32(found.value.data());
}

constexpr uint32_t kGostKeyBody = 33;  // parameter-set code + 32-byte key
constexpr uint32_t kDes3KeyBody = 24;

// The secret key's value from its body, for the key types kept in
// transparent files.
CardResult readSecretValue(CardContext& context, const StoredObject& object, uint32_t keyType, WipedBytes& value) {
    if (keyType == abi::CKK_GOST28147) {
        if (const CardResult rc = readFixedBody(context, object.ownBody(), kGostKeyBody, value); rc != result::kOk) {
            return rc;
        }
        value.erase(value.begin());
        return result::kOk;
    }
    if (keyType == abi::CKK_DES3) return readFixedBody(context, object.ownBody(), kDes3KeyBody, value);
    return result::kOk;
}

// ---------------------------------------------------------------------------
// The whole object for the host (enumeration and read by handle).

bool bodyWithheld(CardResult rc) { return rc == result::kNotFound || rc == result::kSecurity; }

CardResult addDerived(CardContext& context, const StoredObject& object, AttributeSet& set) {
    switch (object.objectClass()) {
        case ObjectClass::Data: {
            WipedBytes value;
            const CardResult rc = readLengthPrefixedBody(context, object.ownBody(), value);
            if (bodyWithheld(rc)) return result::kOk;
            if (rc != result::kOk) return rc;
            return set.addBytes(abi::CKA_VALUE, value) ? result::kOk : result::kMemory;
        }
        case ObjectClass::Certificate: {
            WipedBytes der;
            CertificateFields fields;
            const CardResult rc = readCertificate(context, object, der, fields);
            if (bodyWithheld(rc)) return card::selectApplicationSubdirectory(context);
            if (rc != result::kOk) return rc;
            const bool added = set.addBytes(abi::CKA_VALUE, der) && set.addBytes(abi::CKA_SUBJECT, fields.subject) &&
                               set.addBytes(abi::CKA_ISSUER, fields.issuer) &&
                               set.addBytes(abi::CKA_SERIAL_NUMBER, fields.serialNumber);
            return added ? result::kOk : result::kMemory;
        }
        case ObjectClass::PublicKey:
        case ObjectClass::PrivateKey: {
            KeyPublicPart part;
            const CardResult rc = readKeyPartForSet(context, object, part);
            if (rc == result::kSecurity) return result::kOk;
            if (rc != result::kOk) return rc;
            if (part.kind == KeyPublicPart::Kind::Rsa) {
                const bool added = set.addBytes(abi::CKA_MODULUS, part.modulus) &&
                                   set.addBytes(abi::CKA_PUBLIC_EXPONENT, part.publicExponent);
                return added ? result::kOk : result::kMemory;
            }
            if (part.kind == KeyPublicPart::Kind::Gost && object.objectClass() == ObjectClass::PublicKey) {
                return set.addBytes(abi::CKA_VALUE, part.point) ? result::kOk : result::kMemory;
            }
            return result::kOk;
        }
        case ObjectClass::SecretKey: {
            if (!secretValueReadable(object.record())) return result::kOk;
            const std::optional<uint32_t> keyType = storedKeyType(object.record());
            if (!keyType) return result::kUnexpected;
            WipedBytes value;
            const CardResult rc = readSecretValue(context, object, *keyType, value);
            if (bodyWithheld(rc)) return result::kOk;
            if (rc != result::kOk || value.empty()) return rc;
            return set.addBytes(abi::CKA_VALUE, value) ? result::kOk : result::kMemory;
        }
    }
    return result::kUnexpected;
}

// ---------------------------------------------------------------------------
// Filling a caller's template.

bool asks(std::span<const abi::CK_ATTRIBUTE> tmpl, std::initializer_list<uint32_t> types) {
    return std::ranges::any_of(
        tmpl, [&](const abi::CK_ATTRIBUTE& entry) { return std::ranges::find(types, entry.type) != types.end(); });
}

bool asksSecretPart(std::span<const abi::CK_ATTRIBUTE> tmpl) {
    return std::ranges::any_of(tmpl, [](const abi::CK_ATTRIBUTE& entry) {
        return entry.type == abi::CKA_VALUE || (entry.type >= abi::CKA_PRIME_1 && entry.type <= abi::CKA_COEFFICIENT);
    });
}

// What the filling reads from the bodies; owns the bytes DerivedValues
// points into.
struct DerivedBytes {
    WipedBytes value;
    CertificateFields certificate;
    KeyPublicPart key;
    DerivedValues values;

    DerivedBytes() {
        constexpr DerivedValue empty{nullptr, 0};
        values = {empty, empty, empty, empty, empty, empty, empty, empty, empty, empty, empty};
    }
};

CK_RV readBodiesFor(CardContext& context, const StoredObject& object, std::span<const abi::CK_ATTRIBUTE> tmpl,
                    bool protectedObject, DerivedBytes& derived) {
    switch (object.objectClass()) {
        case ObjectClass::Data: {
            if (!asks(tmpl, {abi::CKA_VALUE})) return abi::CKR_OK;
            const CardResult rc = readLengthPrefixedBody(context, object.ownBody(), derived.value);
            if (rc == result::kNotFound) return abi::CKR_GENERAL_ERROR;
            if (rc != result::kOk) return abi::CKR_FUNCTION_FAILED;
            derived.values.value = DerivedValue::of(derived.value);
            return abi::CKR_OK;
        }
        case ObjectClass::Certificate: {
            if (!asks(tmpl, {abi::CKA_VALUE, abi::CKA_SUBJECT, abi::CKA_ISSUER, abi::CKA_SERIAL_NUMBER})) {
                return abi::CKR_OK;
            }
            const CardResult rc = readCertificate(context, object, derived.value, derived.certificate);
            if (rc == result::kNotFound) return abi::CKR_GENERAL_ERROR;
            if (rc != result::kOk) return abi::CKR_FUNCTION_FAILED;
            derived.values.value = DerivedValue::of(derived.value);
            derived.values.subject = DerivedValue::of(derived.certificate.subject);
            derived.values.issuer = DerivedValue::of(derived.certificate.issuer);
            derived.values.serialNumber = DerivedValue::of(derived.certificate.serialNumber);
            return abi::CKR_OK;
        }
        case ObjectClass::PublicKey:
        case ObjectClass::PrivateKey: {
            const bool publicKey = object.objectClass() == ObjectClass::PublicKey;
            const bool wanted =
                publicKey ? asks(tmpl, {abi::CKA_MODULUS, abi::CKA_VALUE, abi::CKA_EC_POINT, abi::CKA_PUBLIC_EXPONENT})
                          : asks(tmpl, {abi::CKA_MODULUS, abi::CKA_PUBLIC_EXPONENT});
            if (!wanted) return abi::CKR_OK;
            if (readKeyPart(context, object, derived.key) != result::kOk) return abi::CKR_FUNCTION_FAILED;
            if (derived.key.kind == KeyPublicPart::Kind::Rsa) {
                derived.values.modulus = DerivedValue::of(derived.key.modulus);
                derived.values.publicExponent = DerivedValue::of(derived.key.publicExponent);
            } else if (derived.key.kind == KeyPublicPart::Kind::Gost && publicKey) {
                derived.values.value = DerivedValue::of(derived.key.point);
            }
            return abi::CKR_OK;
        }
        case ObjectClass::SecretKey: {
            if (!asks(tmpl, {abi::CKA_VALUE})) return abi::CKR_OK;
            const CardResult present = card::selectFile(context, object.ownBody());
            if (present == result::kNotFound) return abi::CKR_GENERAL_ERROR;
            if (present != result::kOk) return abi::CKR_FUNCTION_FAILED;
            const std::optional<uint32_t> keyType = storedKeyType(object.record());
            if (protectedObject || keyType != abi::CKK_GOST28147) return abi::CKR_OK;
            if (readSecretValue(context, object, *keyType, derived.value) != result::kOk) {
                return abi::CKR_FUNCTION_FAILED;
            }
            derived.values.value = DerivedValue::of(derived.value);
            return abi::CKR_OK;
        }
    }
    return abi::CKR_FUNCTION_FAILED;
}

CK_RV fillFrom(std::span<abi::CK_ATTRIBUTE> tmpl, const StoredObject& object, const DerivedBytes& derived,
               bool protectedObject) {
    switch (fillTemplate(tmpl, object.classNumber(), object.record(), derived.values)) {
        case FillResult::TypeInvalid: return abi::CKR_ATTRIBUTE_TYPE_INVALID;
        case FillResult::BufferTooSmall: return abi::CKR_BUFFER_TOO_SMALL;
        case FillResult::MalformedRecord: return abi::CKR_FUNCTION_FAILED;
        case FillResult::Ok: break;
    }
    const bool secretAsked = (object.objectClass() == ObjectClass::PrivateKey && asksSecretPart(tmpl)) ||
                             (object.objectClass() == ObjectClass::SecretKey && asks(tmpl, {abi::CKA_VALUE}));
    return secretAsked && protectedObject ? abi::CKR_ATTRIBUTE_SENSITIVE : abi::CKR_OK;
}

}  // namespace

CK_RV readTokenObject(CardContext& context, const TokenSettings& settings, uint16_t directoryId, uint8_t record,
                      AttributeSet& set, ObjectFacts& facts, WalkBound* bound) {
    StoredObject object;
    object.layout = layoutForDirectory(directoryId);
    if (object.layout == nullptr) return abi::CKR_FUNCTION_FAILED;
    object.directoryId = directoryId;
    object.number = record;
    if (const CK_RV rv = loadRecord(context, settings, object, kSetFailures, bound); rv != abi::CKR_OK) return rv;

    facts.classNumber = object.classNumber();
    facts.isPrivate = privateFlag(object.record());
    if (decodeRecord(object.record(), set) != DecodeResult::Ok || !set.addNumber(abi::CKA_CLASS, facts.classNumber) ||
        !set.complete()) {
        return abi::CKR_FUNCTION_FAILED;
    }
    const CardResult derived = addDerived(context, object, set);
    if (derived == result::kMemory) return abi::CKR_HOST_MEMORY;
    return derived == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

CK_RV readAttributeValues(CardContext& context, const TokenSettings& settings, uint32_t userType, uint16_t directoryId,
                          uint8_t record, std::span<abi::CK_ATTRIBUTE> tmpl, ObjectFacts& facts, WalkBound* bound) {
    StoredObject object;
    object.layout = layoutForDirectory(directoryId);
    if (object.layout == nullptr) return abi::CKR_FUNCTION_FAILED;
    object.directoryId = directoryId;
    object.number = record;
    facts.classNumber = object.classNumber();
    if (const CK_RV rv = loadRecord(context, settings, object, kTemplateFailures, bound); rv != abi::CKR_OK) {
        return rv;
    }
    facts.isPrivate = privateFlag(object.record());
    uint8_t reference = 0;
    if (keyReferenceOf(object.record(), reference) == KeyReferenceLookup::Malformed) return abi::CKR_FUNCTION_FAILED;
    if (facts.isPrivate != 0 && userType != kUserType) return abi::CKR_USER_NOT_LOGGED_IN;

    const bool protectedObject = isProtected(object.record());
    DerivedBytes derived;
    if (const CK_RV rv = readBodiesFor(context, object, tmpl, protectedObject, derived); rv != abi::CKR_OK) return rv;
    if (card::selectApplicationSubdirectory(context) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    return fillFrom(tmpl, object, derived, protectedObject);
}

}  // namespace korva::objects
