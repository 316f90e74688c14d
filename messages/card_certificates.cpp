#include "messages/card_certificates.h"

#include "messages/message_key.h"

#include "card/select.h"
#include "common/wiped_bytes.h"
#include "objects/directory_files.h"
#include "objects/layout.h"
#include "objects/object_bodies.h"

#include <korva/pkcs11_constants.h>

#include <openssl/x509.h>

namespace korva::messages {
namespace {

using namespace korva::abi;

// The certificate directory sits where the token's settings keep it (the
// application subdirectory or the certificate subdirectory), like every
// other reader of the store finds it.
CK_RV readRecord(CardContext& context, const token::TokenSettings& settings, uint8_t number,
                 objects::KeyRecord& record) {
    const uint16_t directory = objects::directoryOf(objects::ObjectClass::Certificate);
    if (objects::selectDirectoryParent(context, settings, directory) != result::kOk) return CKR_FUNCTION_FAILED;
    return objects::loadKeyRecord(context, directory, number, record);
}

// With the certificate subdirectory current. Only a refusal of the length
// read means the card shows the body after a login.
CK_RV readBody(CardContext& context, uint8_t number, WipedBytes& der) {
    objects::BodyRead failedRead = objects::BodyRead::kLength;
    const CardResult read = objects::readLengthPrefixedBody(
        context, objects::ownBodyOf(objects::ObjectClass::Certificate, number), der, &failedRead);
    if (read == result::kSecurity && failedRead == objects::BodyRead::kLength) return CKR_USER_NOT_LOGGED_IN;
    if (read == result::kMemory) return CKR_HOST_MEMORY;
    return read == result::kOk ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace

CK_RV readCardCertificate(CardContext& context, const token::TokenSettings& settings, const ObjectHandle& handle,
                          objects::KeyRecord* record, X509Ptr& certificate) {
    const uint16_t directory = objects::handleDirectory(handle);
    if (objects::layoutForDirectory(directory) == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    if (directory != objects::directoryOf(objects::ObjectClass::Certificate)) return CKR_FUNCTION_FAILED;
    // Certificate bodies live in the certificate subdirectory wherever the
    // settings keep the certificate directory; reading the record there has
    // already selected it.
    bool inCertificateSubdirectory = false;
    if (record != nullptr) {
        if (const CK_RV rv = readRecord(context, settings, handle.record, *record); rv != CKR_OK) return rv;
        inCertificateSubdirectory = objects::certificatesInSubdirectory(settings);
    }
    if (!inCertificateSubdirectory && card::selectCertificateDirectory(context) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    WipedBytes der;
    if (const CK_RV rv = readBody(context, handle.record, der); rv != CKR_OK) return rv;
    if (card::selectApplicationSubdirectory(context) != result::kOk) return CKR_FUNCTION_FAILED;
    const unsigned char* cursor = der.data();
    certificate.reset(d2i_X509(nullptr, &cursor, long(der.size())));
    return certificate ? CKR_OK : CKR_DATA_INVALID;
}

}  // namespace korva::messages
