#include "import/certificate_import.h"

#include "card/select.h"
#include "objects/certificate_fields.h"
#include "objects/create_object.h"
#include "objects/template_record.h"
#include "session/pin.h"

#include "card/card_context.h"
#include "common/openssl_error_mark.h"

#include <korva/pkcs11_constants.h>

#include <openssl/err.h>

#include <cstring>

namespace korva::import {
namespace {

using abi::CK_RV;
using objects::TemplateRecord;
using objects::TemplateResult;

constexpr uint32_t kAuthorityCategory = 1;

bool buildTemplate(const CertificateInput& certificate, const objects::CertificateFields& fields,
                   TemplateRecord& list) noexcept {
    const TemplateResult results[] = {
        list.appendNumber(abi::CKA_CLASS, abi::CKO_CERTIFICATE),
        list.appendBoolean(abi::CKA_TOKEN, true),
        list.appendBoolean(abi::CKA_PRIVATE, false),
        list.appendBoolean(abi::CKA_MODIFIABLE, false),
        list.appendBytes(abi::CKA_LABEL, certificate.label),
        list.appendBytes(abi::CKA_SUBJECT, fields.subject),
        list.appendBytes(abi::CKA_ID, certificate.id),
        list.appendBytes(abi::CKA_VALUE, certificate.der),
        list.appendNumber(abi::CKA_CERTIFICATE_CATEGORY, kAuthorityCategory),
        list.appendBytes(abi::CKA_ISSUER, fields.issuer),
        list.appendBytes(abi::CKA_SERIAL_NUMBER, fields.serialNumber),
        list.appendNumber(abi::CKA_CERTIFICATE_TYPE, abi::CKC_X_509),
        list.appendBoolean(abi::CKA_TRUSTED, false),
    };
    for (const TemplateResult result : results)
        if (result != TemplateResult::Ok) return false;
    return true;
}

}  // namespace

CK_RV createCertificateObject(const abi::HostContext& host, const abi::LoginRecord* login,
                              const abi::HostByteVector* settings, const CertificateInput& certificate,
                              abi::ObjectSummary* summary) {
    objects::CertificateFields fields;
    bool decoded = false;
    {
        const OpenSslErrorMark mark;
        decoded = objects::parseCertificateFields(certificate.der, fields);
    }
    // An imported certificate is stored as given: bytes after it would be
    // stored too, and no reader could say what they are.
    if (!decoded || fields.length != certificate.der.size()) return abi::CKR_DATA_INVALID;
    TemplateRecord list;
    if (!buildTemplate(certificate, fields, list)) return abi::CKR_HOST_MEMORY;
    abi::ObjectHandle handle{};
    return objects::createBuiltObject(host, login, settings, list.entries(), &handle, summary);
}

CK_RV importCertificate(const abi::HostContext& host, const abi::LoginRecord* login,
                        const abi::HostByteVector* settings, const char* label, const uint8_t* id, uint32_t idLength,
                        const uint8_t* der, uint32_t derLength) {
    if (der == nullptr || derLength == 0) return abi::CKR_ARGUMENTS_BAD;
    {
        CardContext context(host);
        if (card::selectApplicationSubdirectory(context) != result::kOk ||
            token::loginWith(context, login) != result::kOk) {
            return abi::CKR_FUNCTION_FAILED;
        }
    }
    const CertificateInput certificate{
        label == nullptr ? std::span<const uint8_t>{}
                         : std::span(reinterpret_cast<const uint8_t*>(label), std::strlen(label)),
        id == nullptr ? std::span<const uint8_t>{} : std::span(id, idLength),
        std::span(der, derLength),
    };
    return createCertificateObject(host, login, settings, certificate, nullptr);
}

}  // namespace korva::import
