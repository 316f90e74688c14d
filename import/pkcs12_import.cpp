#include "import/pkcs12_import.h"

#include "import/certificate_import.h"
#include "import/import_label.h"
#include "keys/key_pair_store.h"
#include "import/pkcs12_reader.h"
#include "keys/rsa_key_files.h"

#include "card/select.h"
#include "objects/bookkeeping.h"
#include "session/settings.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>

namespace korva::import {
namespace {

using abi::CK_RV;
using keys::bumpKeyPairCounters;
using keys::createRsaKeyFiles;
using keys::deleteRsaKeyFiles;
using keys::EncodedPair;
using keys::encodeLists;
using keys::ExponentFile;
using keys::KeyPairLists;
using keys::KeyPairRecords;
using keys::loadRsaKey;
using keys::reserveRecords;
using keys::RsaKeyFiles;
using keys::rsaKeyFilesOf;
using keys::storePair;
using objects::TemplateRecord;
using objects::TemplateResult;

// The card's key objects hold 1024-bit keys.
constexpr std::size_t kLargestModulus = 128;

// keyUsage bits of the certificate's first byte.
constexpr uint8_t kEncipherUsages = 0x38;  // keyEncipherment, dataEncipherment, keyAgreement
constexpr uint8_t kSignUsages = 0xC6;      // digitalSignature, nonRepudiation, keyCertSign, cRLSign

struct Usages {
    bool encrypt;
    bool sign;
};

// A certificate that names neither kind of use (or has no keyUsage) lets
// the key do both.
Usages usagesOf(uint8_t keyUsage) noexcept {
    const bool encrypt = (keyUsage & kEncipherUsages) != 0;
    const bool sign = (keyUsage & kSignUsages) != 0;
    if (!encrypt && !sign) return {true, true};
    return {encrypt, sign};
}

bool allOk(std::initializer_list<TemplateResult> results) noexcept {
    return std::ranges::all_of(results, [](TemplateResult r) { return r == TemplateResult::Ok; });
}

// The two records' attribute lists, in the order the token writes them.
bool buildLists(const Pkcs12Contents& contents, const ImportLabel& label, KeyPairLists& lists) {
    const Usages usages = usagesOf(contents.keyUsage);
    const auto modulusBits = uint32_t(8 * contents.modulus.size());
    TemplateRecord& pub = lists.publicKey;
    TemplateRecord& priv = lists.privateKey;
    return allOk({
               pub.appendNumber(abi::CKA_CLASS, abi::CKO_PUBLIC_KEY),
               pub.appendBoolean(abi::CKA_TOKEN, true),
               pub.appendBoolean(abi::CKA_PRIVATE, false),
               pub.appendBoolean(abi::CKA_MODIFIABLE, false),
               pub.appendBytes(abi::CKA_LABEL, label.label()),
               pub.appendBytes(abi::CKA_ID, label.id()),
               pub.appendBytes(abi::CKA_MODULUS, contents.modulus),
               pub.appendBytes(abi::CKA_PUBLIC_EXPONENT, contents.publicExponent),
               pub.appendNumber(abi::CKA_KEY_TYPE, abi::CKK_RSA),
               pub.appendBoolean(abi::CKA_ENCRYPT, usages.encrypt),
               pub.appendBoolean(abi::CKA_VERIFY, usages.sign),
               pub.appendBoolean(abi::CKA_VERIFY_RECOVER, usages.sign),
               pub.appendNumber(abi::CKA_MODULUS_BITS, modulusBits),
               pub.appendBoolean(abi::CKA_LOCAL, false),
           }) &&
           allOk({
               priv.appendNumber(abi::CKA_CLASS, abi::CKO_PRIVATE_KEY),
               priv.appendBoolean(abi::CKA_TOKEN, true),
               priv.appendBoolean(abi::CKA_PRIVATE, true),
               priv.appendBoolean(abi::CKA_MODIFIABLE, false),
               priv.appendBytes(abi::CKA_LABEL, label.label()),
               priv.appendBytes(abi::CKA_ID, label.id()),
               priv.appendBytes(abi::CKA_MODULUS, contents.modulus),
               priv.appendBytes(abi::CKA_PUBLIC_EXPONENT, contents.publicExponent),
               priv.appendBytes(abi::CKA_PRIVATE_EXPONENT, contents.privateExponent),
               priv.appendNumber(abi::CKA_KEY_TYPE, abi::CKK_RSA),
               priv.appendBoolean(abi::CKA_DECRYPT, usages.encrypt),
               priv.appendBoolean(abi::CKA_SIGN, usages.sign),
               priv.appendBoolean(abi::CKA_SIGN_RECOVER, usages.sign),
               priv.appendNumber(abi::CKA_MODULUS_BITS, modulusBits),
               priv.appendBoolean(abi::CKA_LOCAL, false),
               priv.appendBoolean(abi::CKA_ALWAYS_SENSITIVE, false),
               priv.appendBoolean(abi::CKA_NEVER_EXTRACTABLE, false),
           });
}

// Everything but the certificate, in an order whose every step can be
// undone by `rollback`.
CK_RV storeKeyPair(CardContext& context, const abi::LoginRecord* login, const token::TokenSettings& settings,
                   const Pkcs12Contents& contents, const KeyPairLists& lists, card::WriteRollback& rollback) {
    EncodedPair encoded;
    if (const CK_RV rv = encodeLists(lists, encoded); rv != abi::CKR_OK) return rv;
    KeyPairRecords records;
    if (const CK_RV rv = reserveRecords(context, login, settings, records); rv != abi::CKR_OK) return rv;
    const RsaKeyFiles files = rsaKeyFilesOf(records.publicRecord);
    const bool mayDecrypt = usagesOf(contents.keyUsage).encrypt;

    if (!rollback.onUndo([files](CardContext& c) { deleteRsaKeyFiles(c, files); })) return abi::CKR_FUNCTION_FAILED;
    if (const CK_RV rv = createRsaKeyFiles(context, files, mayDecrypt); rv != abi::CKR_OK) {
        return rv == abi::CKR_DEVICE_MEMORY ? rv : abi::CKR_FUNCTION_FAILED;
    }
    if (loadRsaKey(context, files, mayDecrypt, contents.publicExponent, contents.modulus, contents.privateExponent,
                   ExponentFile::kCurrent) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    // storePair registers the records and the container map entry itself.
    if (const CK_RV rv = storePair(context, lists, records, encoded, false, rollback); rv != abi::CKR_OK) return rv;
    if (bumpKeyPairCounters(context) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    const bool undoable = rollback.onUndo([](CardContext& c) {
        if (card::selectApplicationSubdirectory(c) != result::kOk) return;
        (void)objects::bumpCounters(c, true, true, abi::CKO_PUBLIC_KEY, 0xFF);
        (void)objects::bumpCounters(c, false, false, abi::CKO_PRIVATE_KEY, 0xFF);
    });
    return undoable ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

// The password as OpenSSL takes it: zero-terminated, in a buffer that is
// wiped. None given: the file is read without one.
const char* passwordText(const char* password, uint32_t length, WipedBytes& copy) {
    if (password == nullptr || length == 0) return nullptr;
    copy.assign(password, password + length);
    copy.push_back(0);
    return reinterpret_cast<const char*>(copy.data());
}

}  // namespace

CK_RV importPkcs12(const abi::HostContext& host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                   const uint8_t* data, uint32_t dataLength, const char* password, uint32_t passwordLength,
                   const Pkcs12Outputs& outputs) {
    if (data == nullptr || dataLength == 0) return abi::CKR_ARGUMENTS_BAD;
    const auto tokenSettings = token::copyHostSettings(settings);
    if (!tokenSettings) return abi::CKR_ARGUMENTS_BAD;
    Pkcs12Contents contents;
    {
        WipedBytes passwordCopy;
        const char* text = passwordText(password, passwordLength, passwordCopy);
        if (const CK_RV rv = readPkcs12({data, dataLength}, text, contents); rv != abi::CKR_OK) return rv;
    }
    CardContext context(host);
    ImportLabel label;
    if (makeImportLabel(context, label) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    if (contents.keyFamily != objects::KeyFamily::Rsa || contents.modulus.size() > kLargestModulus) {
        return abi::CKR_FUNCTION_FAILED;
    }
    KeyPairLists lists;
    if (!buildLists(contents, label, lists)) return abi::CKR_HOST_MEMORY;

    card::WriteRollback rollback(context);
    if (const CK_RV rv = storeKeyPair(context, login, *tokenSettings, contents, lists, rollback); rv != abi::CKR_OK) {
        return rv;
    }
    const CertificateInput certificate{label.label(), label.id(), contents.certificate};
    if (const CK_RV rv = createCertificateObject(host, login, settings, certificate, outputs.certificate);
        rv != abi::CKR_OK) {
        return rv;
    }
    rollback.commit();
    if (outputs.publicKey != nullptr) *outputs.publicKey = {abi::CKO_PUBLIC_KEY, 0};
    if (outputs.privateKey != nullptr) *outputs.privateKey = {abi::CKO_PRIVATE_KEY, 1};
    return abi::CKR_OK;
}

}  // namespace korva::import
