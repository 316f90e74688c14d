#include "objects/create_object.h"

#include "objects/allocate_record.h"
#include "objects/attribute_record.h"
#include "objects/body_writers.h"
#include "objects/bookkeeping.h"
#include "objects/container_map.h"
#include "objects/directory_files.h"
#include "objects/name_map.h"
#include "objects/session_table.h"
#include "objects/template_record.h"

#include "card/records.h"
#include "card/select.h"
#include "session/pin.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace korva::objects {

namespace {

using abi::CK_RV;

constexpr uint32_t kNoUser = 0xFF;
constexpr uint32_t kSecurityOfficer = 0;
constexpr uint32_t kSecurityOfficerOnCreation = 2;
// DER of the default GOST 28147-89 parameter set, OID 1.2.643.2.2.31.1.
constexpr std::array<uint8_t, 9> kDefaultGostCipherParameters{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01};

// The validated template copy and what the checks learnt on the way.
struct NewObject {
    TemplateRecord tmpl;
    ObjectClass objectClass = ObjectClass::Data;
    bool isPrivate = false;
    bool isToken = false;
    uint32_t keyType = 0;
    uint32_t userType = kNoUser;
};

// A boolean the template may give: absent is false; another length than 1
// is refused.
std::optional<bool> optionalFlag(const TemplateRecord& tmpl, uint32_t type) {
    bool value = false;
    switch (tmpl.getBoolean(type, value)) {
        case TemplateLookup::Found: return value;
        case TemplateLookup::Absent: return false;
        default: return std::nullopt;
    }
}

// CKA_KEY_TYPE must be given as a 32-bit number.
CK_RV requireKeyType(NewObject& object) {
    switch (object.tmpl.getNumber(abi::CKA_KEY_TYPE, object.keyType)) {
        case TemplateLookup::Found: return abi::CKR_OK;
        case TemplateLookup::Absent: return abi::CKR_TEMPLATE_INCOMPLETE;
        default: return abi::CKR_FUNCTION_FAILED;
    }
}

// Attributes the token sets itself replace whatever the caller claimed.
CK_RV appendTokenSetFlag(TemplateRecord& tmpl, uint32_t type) {
    tmpl.removeAll(type);
    return tmpl.appendBoolean(type, false) == TemplateResult::Ok ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

CK_RV completeSecretKey(NewObject& object) {
    if (const CK_RV rv = requireKeyType(object); rv != abi::CKR_OK) return rv;
    TemplateRecord& tmpl = object.tmpl;
    if (object.keyType == abi::CKK_AES) {
        uint32_t valueLength = 0;
        const TemplateLookup given = tmpl.getNumber(abi::CKA_VALUE_LEN, valueLength);
        if (given == TemplateLookup::WrongLength) return abi::CKR_FUNCTION_FAILED;
        std::span<const uint8_t> value;
        const TemplateLookup hasValue = tmpl.viewBytes(abi::CKA_VALUE, value);
        if (hasValue == TemplateLookup::WrongLength) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
        if (hasValue == TemplateLookup::Found) {
            if (given == TemplateLookup::Found && valueLength != value.size()) return abi::CKR_TEMPLATE_INCONSISTENT;
            if (tmpl.appendNumber(abi::CKA_VALUE_LEN, uint32_t(value.size())) != TemplateResult::Ok) {
                return abi::CKR_FUNCTION_FAILED;
            }
        }
    }
    if (object.keyType == abi::CKK_GOST28147) {
        if (object.isToken) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
        if (tmpl.find(abi::CKA_GOST28147_PARAMS) == nullptr &&
            tmpl.appendBytes(abi::CKA_GOST28147_PARAMS, kDefaultGostCipherParameters) != TemplateResult::Ok) {
            return abi::CKR_FUNCTION_FAILED;
        }
    }
    return abi::CKR_OK;
}

CK_RV completeKeyPairHalf(NewObject& object) {
    if (const CK_RV rv = requireKeyType(object); rv != abi::CKR_OK) return rv;
    if (object.keyType != abi::CKK_RSA) return abi::CKR_OK;
    const uint32_t sizedBy =
        object.objectClass == ObjectClass::PublicKey ? abi::CKA_MODULUS : abi::CKA_PRIVATE_EXPONENT;
    std::span<const uint8_t> value;
    const TemplateLookup found = object.tmpl.viewBytes(sizedBy, value);
    if (found == TemplateLookup::Absent) return abi::CKR_TEMPLATE_INCOMPLETE;
    if (found != TemplateLookup::Found) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    if (object.tmpl.find(abi::CKA_MODULUS_BITS) != nullptr) return abi::CKR_ATTRIBUTE_TYPE_INVALID;
    return object.tmpl.appendNumber(abi::CKA_MODULUS_BITS, uint32_t(8 * value.size())) == TemplateResult::Ok
               ? abi::CKR_OK
               : abi::CKR_FUNCTION_FAILED;
}

// The checks of a new object, in the order that decides which failure is
// reported, with the attributes the token adds.
CK_RV validate(std::span<const abi::CK_ATTRIBUTE> hostTemplate, NewObject& object) {
    const auto classEntry = std::ranges::find(hostTemplate, abi::CKA_CLASS, &abi::CK_ATTRIBUTE::type);
    if (hostTemplate.empty() || classEntry == hostTemplate.end()) return abi::CKR_TEMPLATE_INCOMPLETE;
    if (classEntry->pValue == nullptr || classEntry->ulValueLen != 4) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    uint32_t classNumber = 0;
    std::memcpy(&classNumber, classEntry->pValue, sizeof classNumber);
    if (layoutForClass(classNumber) == nullptr) return abi::CKR_ATTRIBUTE_TYPE_INVALID;
    object.objectClass = ObjectClass(classNumber);
    if (hostTemplate.size() > TemplateRecord::kCapacity) return abi::CKR_VENDOR_ATTRIBUTE_LIST_FULL;
    if (object.tmpl.fill(hostTemplate) != TemplateResult::Ok) return abi::CKR_HOST_MEMORY;

    TemplateRecord& tmpl = object.tmpl;
    const ObjectClass c = object.objectClass;
    const bool keyPairHalf = c == ObjectClass::PublicKey || c == ObjectClass::PrivateKey;
    if (c == ObjectClass::Certificate || keyPairHalf) {
        std::span<const uint8_t> id;
        if (tmpl.viewBytes(abi::CKA_ID, id) == TemplateLookup::Absent) {
            const bool saidNoValue = tmpl.find(abi::CKA_ID) != nullptr;
            if (tmpl.appendBytes(abi::CKA_ID, {}) != TemplateResult::Ok) return abi::CKR_ARGUMENTS_BAD;
            // A first entry of length 0xFFFFFFFF says nothing and cannot be
            // stored; without it the record holds the identifier of a later
            // entry, or the empty one.
            if (saidNoValue) tmpl.remove(abi::CKA_ID);
        }
    }
    const std::optional<bool> isPrivate = optionalFlag(tmpl, abi::CKA_PRIVATE);
    const std::optional<bool> isToken = optionalFlag(tmpl, abi::CKA_TOKEN);
    if (!isPrivate || !isToken) return abi::CKR_FUNCTION_FAILED;
    object.isPrivate = *isPrivate;
    object.isToken = *isToken;
    if (object.isPrivate && (object.userType == kSecurityOfficer || object.userType == kSecurityOfficerOnCreation)) {
        return abi::CKR_USER_NOT_LOGGED_IN;
    }
    if (!object.isToken && c != ObjectClass::SecretKey) return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    if (keyPairHalf || c == ObjectClass::SecretKey) {
        if (const CK_RV rv = appendTokenSetFlag(tmpl, abi::CKA_LOCAL); rv != abi::CKR_OK) return rv;
    }
    if (c == ObjectClass::PrivateKey || c == ObjectClass::SecretKey) {
        if (const CK_RV rv = appendTokenSetFlag(tmpl, abi::CKA_ALWAYS_SENSITIVE); rv != abi::CKR_OK) return rv;
        if (const CK_RV rv = appendTokenSetFlag(tmpl, abi::CKA_NEVER_EXTRACTABLE); rv != abi::CKR_OK) return rv;
    }
    if (c == ObjectClass::SecretKey) return completeSecretKey(object);
    if (keyPairHalf) return completeKeyPairHalf(object);
    return abi::CKR_OK;
}

// A triple-DES key that is not a token object lives in the host's table.
CK_RV storeSessionKey(abi::HostContext& host, const abi::LoginRecord* login,
                      std::span<const abi::CK_ATTRIBUTE> hostTemplate, const NewObject& object,
                      abi::ObjectHandle& handle, abi::ObjectSummary* summary) {
    {
        CardContext context(host);
        if (card::selectApplicationSubdirectory(context) != result::kOk ||
            token::loginWith(context, login) != result::kOk) {
            return abi::CKR_FUNCTION_FAILED;
        }
    }
    TemplateRecord entry;
    switch (entry.fill(hostTemplate)) {
        case TemplateResult::Ok: break;
        case TemplateResult::TooMany: return abi::CKR_FUNCTION_FAILED;
        case TemplateResult::OutOfMemory: return abi::CKR_HOST_MEMORY;
    }
    uint8_t index = 0;
    switch (storeSessionObject(host, entry, index)) {
        case SessionStoreResult::Ok: break;
        case SessionStoreResult::Full: return abi::CKR_DEVICE_MEMORY;
        case SessionStoreResult::OutOfMemory: return abi::CKR_HOST_MEMORY;
    }
    handle = sessionHandle(index);
    if (summary != nullptr) *summary = {uint32_t(ObjectClass::SecretKey), uint8_t(object.isPrivate ? 1 : 0)};
    return abi::CKR_OK;
}

CK_RV encodeNewRecord(const NewObject& object, DirectoryRecord& record, std::size_t& size) {
    switch (encodeDirectoryRecord(object.tmpl.entries(), record, size)) {
        case EncodeResult::Ok: return abi::CKR_OK;
        case EncodeResult::TooLong:
        case EncodeResult::InvalidValue: return abi::CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return abi::CKR_FUNCTION_FAILED;
}

// The certificate's entry in the name map, named after its key's container.
CardResult enterCertificateName(CardContext& context, uint8_t record, const CertificateKeyMatch& match) {
    const NameMapEntry entry = makeCertificateNameEntry(ownBodyOf(ObjectClass::Certificate, record), match.exchangeKey,
                                                        uint8_t(match.keyRecord - 1));
    if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
    if (const CardResult rc = writeNameMapEntry(context, entry, match.freeEntry); rc != result::kOk) return rc;
    return card::selectApplicationSubdirectory(context);
}

// The body writers and the name-map entry leave the application
// subdirectory current: only a certificate directory kept in the
// certificate subdirectory needs its parent selected first.
CardResult writeRecord(CardContext& context, const TokenSettings& settings, uint16_t directoryId, uint8_t number,
                       const DirectoryRecord& record) {
    if (directoryInSubdirectory(settings, directoryId)) {
        if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
    }
    if (const CardResult rc = card::selectFile(context, directoryId); rc != result::kOk) return rc;
    if (const CardResult rc = card::updateRecord(context, number, record); rc != result::kOk) return rc;
    return leaveDirectoryParent(context, settings, directoryId);
}

CK_RV storeOnCard(const abi::HostContext& host, const abi::LoginRecord* login, const TokenSettings& settings,
                  const NewObject& object, abi::ObjectHandle& handle, abi::ObjectSummary* summary) {
    DirectoryRecord record{};
    std::size_t size = 0;
    if (const CK_RV rv = encodeNewRecord(object, record, size); rv != abi::CKR_OK) return rv;
    const std::span<const uint8_t> encoded(record.data(), size);

    CardContext context(host);
    if (card::selectApplicationSubdirectory(context) != result::kOk ||
        token::loginWith(context, login) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    const ClassLayout& layout = *layoutForClass(uint32_t(object.objectClass));
    uint8_t number = 0;
    const CK_RV allocated = roomToRv(allocateRecord(context, settings, layout.directoryId, number));
    if (allocated != abi::CKR_OK) return allocated;

    BodyRequest body{object.objectClass, number, 0, object.isPrivate, object.userType};
    if (object.objectClass == ObjectClass::PrivateKey) {
        std::span<const uint8_t> id;
        if (object.tmpl.viewBytes(abi::CKA_ID, id) != TemplateLookup::Found || id.empty()) {
            return abi::CKR_ATTRIBUTE_VALUE_INVALID;
        }
        // The search leaves the public-key directory, a file of the
        // application subdirectory, current: the key files beside it need no
        // selection of the folder.
        if (findKeyRecordById(context, directoryOf(ObjectClass::PublicKey), id, body.keyPairRecord) != result::kOk) {
            return abi::CKR_FUNCTION_FAILED;
        }
    }
    CertificateKeyMatch match;
    if (object.objectClass == ObjectClass::Certificate) {
        if (const CK_RV rv = roomToRv(matchCertificateKey(context, encoded, match)); rv != abi::CKR_OK) return rv;
    }
    if (const CK_RV rv = writeBody(context, body, object.tmpl); rv != abi::CKR_OK) return rv;
    if (match.keyFound && enterCertificateName(context, number, match) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (writeRecord(context, settings, layout.directoryId, number, record) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    const bool mirrored = object.objectClass == ObjectClass::Certificate ||
                          object.objectClass == ObjectClass::PublicKey || object.objectClass == ObjectClass::PrivateKey;
    if (bumpCounters(context, mirrored, mirrored, uint32_t(object.objectClass), 1) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    if (object.objectClass == ObjectClass::PublicKey &&
        writeContainerMapEntry(context, object.tmpl.entries(), number - 1u, false) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    handle = makeHandle(number, layout.directoryId);
    if (summary != nullptr) *summary = {uint32_t(object.objectClass), uint8_t(object.isPrivate ? 1 : 0)};
    return abi::CKR_OK;
}

}  // namespace

CK_RV createObject(abi::HostContext& host, const abi::LoginRecord* login, const std::optional<TokenSettings>& settings,
                   std::span<const abi::CK_ATTRIBUTE> hostTemplate, abi::ObjectHandle& handle,
                   abi::ObjectSummary* summary) {
    NewObject object;
    object.userType = login == nullptr ? kNoUser : login->userType;
    if (const CK_RV rv = validate(hostTemplate, object); rv != abi::CKR_OK) return rv;

    if (object.objectClass == ObjectClass::SecretKey && !object.isToken && object.keyType == abi::CKK_DES3) {
        return storeSessionKey(host, login, hostTemplate, object, handle, summary);
    }
    if (!settings) return abi::CKR_ARGUMENTS_BAD;
    return storeOnCard(host, login, *settings, object, handle, summary);
}

CK_RV createBuiltObject(const abi::HostContext& host, const abi::LoginRecord* login,
                        const abi::HostByteVector* settings, std::span<const abi::CK_ATTRIBUTE> list,
                        abi::ObjectHandle* handle, abi::ObjectSummary* summary) {
    if (handle == nullptr) return abi::CKR_ARGUMENTS_BAD;
    abi::HostContext copy = host;
    return createObject(copy, login, token::copyHostSettings(settings), list, *handle, summary);
}

}  // namespace korva::objects
