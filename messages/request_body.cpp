#include "messages/request_body.h"

#include "messages/openssl_handles.h"

#include <korva/pkcs11_constants.h>

#include <openssl/objects.h>

#include <algorithm>
#include <array>

namespace korva::messages {
namespace {

using namespace korva::abi;

// OGRN, SNILS and INN.
constexpr std::array<std::string_view, 3> kNumericFields = {"1.2.643.100.1", "1.2.643.100.3", "1.2.643.3.131.1.1"};

// A NumericString holds digits and spaces only. OpenSSL would store any
// bytes under that type, and a request with letters in a number field is
// malformed for every reader, so such a value is refused like any value a
// field does not accept.
bool isNumericText(std::string_view value) noexcept {
    return !value.empty() && std::ranges::all_of(value, [](char c) { return (c >= '0' && c <= '9') || c == ' '; });
}

bool addSubjectEntry(X509_NAME* name, const TextEntry& entry) {
    const auto* value = reinterpret_cast<const unsigned char*>(entry.value.data());
    const int length = static_cast<int>(entry.value.size());
    if (isNumericField(entry.name)) {
        return isNumericText(entry.value) &&
               X509_NAME_add_entry_by_txt(name, entry.name.data(), V_ASN1_NUMERICSTRING, value, length, -1, 0) == 1;
    }
    // OpenSSL picks the string type the field allows (and refuses a value
    // the field cannot hold, such as a three-letter country).
    return X509_NAME_add_entry_by_txt(name, entry.name.data(), MBSTRING_UTF8, value, length, -1, 0) == 1;
}

CK_RV setSubject(X509_REQ* request, TextList subject) {
    X509NamePtr name(X509_NAME_new());
    if (!name) return CKR_FUNCTION_FAILED;
    while (!subject.done()) {
        const std::optional<TextEntry> entry = subject.next();
        if (!entry || !addSubjectEntry(name.get(), *entry)) return CKR_VENDOR_SUBJECT_ENTRY_REJECTED;
    }
    return X509_REQ_set_subject_name(request, name.get()) == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV addAttributes(X509_REQ* request, TextList attributes) {
    while (!attributes.done()) {
        const std::optional<TextEntry> entry = attributes.next();
        if (!entry) return CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED;
        if (entry->name == kGost2012ProfileMarker) continue;
        const auto* value = reinterpret_cast<const unsigned char*>(entry->value.data());
        if (X509_REQ_add1_attr_by_txt(request, entry->name.data(), MBSTRING_UTF8, value,
                                      static_cast<int>(entry->value.size())) != 1) {
            return CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED;
        }
    }
    return CKR_OK;
}

X509ExtensionPtr buildExtension(X509_REQ* request, const TextEntry& entry, EntryShape shape) {
    X509V3_CTX context{};
    X509V3_set_ctx(&context, nullptr, nullptr, request, nullptr, 0);
    X509ExtensionPtr extension(X509V3_EXT_nconf(nullptr, &context, entry.name.data(), entry.value.data()));
    if (extension && shape == EntryShape::kTriples &&
        X509_EXTENSION_set_critical(extension.get(), isCritical(entry.criticality) ? 1 : 0) != 1) {
        return nullptr;
    }
    return extension;
}

// The extension request goes in as one attribute, also when the list is
// empty: a caller that passes an empty list gets an empty extension
// request, whichever OpenSSL release builds it.
bool addExtensionRequest(X509_REQ* request, const STACK_OF(X509_EXTENSION) * extensions) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_EXTENSIONS(extensions, &der);
    if (length <= 0) return false;
    const bool added = X509_REQ_add1_attr_by_NID(request, NID_ext_req, V_ASN1_SEQUENCE, der, length) == 1;
    OPENSSL_free(der);
    return added;
}

CK_RV addExtensions(X509_REQ* request, TextList list) {
    ExtensionStackPtr extensions(sk_X509_EXTENSION_new_null());
    if (!extensions) return CKR_FUNCTION_FAILED;
    while (!list.done()) {
        const std::optional<TextEntry> entry = list.next();
        X509ExtensionPtr extension = entry ? buildExtension(request, *entry, list.shape()) : nullptr;
        if (!extension) return CKR_VENDOR_EXTENSION_REJECTED;
        if (sk_X509_EXTENSION_push(extensions.get(), extension.get()) == 0) return CKR_FUNCTION_FAILED;
        extension.release();  // the stack owns it now
    }
    return addExtensionRequest(request, extensions.get()) ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace

bool asksForGost2012Profile(TextList attributes) noexcept {
    while (!attributes.done()) {
        const std::optional<TextEntry> entry = attributes.next();
        if (entry && entry->name == kGost2012ProfileMarker) return true;
    }
    return false;
}

bool isNumericField(std::string_view name) noexcept {
    return std::ranges::find(kNumericFields, name) != kNumericFields.end();
}

CK_RV buildRequestBody(X509_REQ* request, EVP_PKEY* key, const RequestLists& lists) {
    if (X509_REQ_set_version(request, 0) != 1 || X509_REQ_set_pubkey(request, key) != 1) return CKR_FUNCTION_FAILED;
    if (const CK_RV rv = setSubject(request, lists.subject); rv != CKR_OK) return rv;
    if (const CK_RV rv = addAttributes(request, lists.attributes); rv != CKR_OK) return rv;
    if (!lists.extensions) return CKR_OK;
    return addExtensions(request, *lists.extensions);
}

}  // namespace korva::messages
