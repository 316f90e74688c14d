// The token's operations beyond the standard (include/korva/pkcs11_vendor_functions.h):
// certificate requests, signed messages and their verification, PKCS#12 and
// certificate import. Each one runs under the same guard as the C_ functions
// (session lookup, token lock, the reader's call bracket) and converts the
// application's handles and lengths to the module's forms.
#include "host/entry.h"

#include <korva/pkcs11_vendor_functions.h>

#include <array>
#include <string>
#include <vector>

namespace korva::host {
namespace {

// The module takes text lists as one block of consecutive zero-terminated
// strings.
class TextBlock final {
public:
    bool add(const char* text) {
        if (text == nullptr) return false;
        block_.append(text);
        block_.push_back('\0');
        return true;
    }
    bool addPairs(const KORVA_NAME_VALUE* pairs, unsigned long count) {
        if (pairs == nullptr && count != 0) return false;
        for (unsigned long i = 0; i < count; ++i)
            if (!add(pairs[i].name) || !add(pairs[i].value)) return false;
        return true;
    }
    // Extensions as triples: name, value, criticality ("0" not critical).
    bool addExtensions(const KORVA_EXTENSION* extensions, unsigned long count) {
        if (extensions == nullptr && count != 0) return false;
        for (unsigned long i = 0; i < count; ++i) {
            if (!add(extensions[i].name) || !add(extensions[i].value) || !add(extensions[i].critical ? "1" : "0"))
                return false;
        }
        return true;
    }
    const char* data() const { return block_.data(); }

private:
    std::string block_;
};

constexpr abi::CK_ULONG kExtensionTriples = 0;

ck_rv_t checkBytes(const unsigned char* bytes, unsigned long length) {
    if (bytes == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    return narrow(length) ? CKR_OK : CKR_DATA_LEN_RANGE;
}

// An output of the module's length convention, with the application's
// 64-bit length in and out.
template <typename Call>
ck_rv_t withOutput(unsigned long* length, Call&& call) {
    if (length == nullptr) return CKR_ARGUMENTS_BAD;
    abi::CK_ULONG moduleLength = capacity(*length);
    const abi::CK_RV rv = call(&moduleLength);
    if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *length = moduleLength;
    return rv;
}

// The module's handle of an object of the class the call needs, when the
// session may use it so.
ck_rv_t objectOf(Session& session, unsigned long object, unsigned long objectClass, Access use,
                 abi::ObjectHandle& handle) {
    ObjectEntry entry;
    if (const ck_rv_t rv = findObject(session, object, use, entry); rv != CKR_OK) return rv;
    if (entry.objectClass != objectClass) return CKR_OBJECT_HANDLE_INVALID;
    handle = entry.module;
    return CKR_OK;
}

// Object 0 stands for "the private key with the same CKA_ID", which the
// module finds itself when given no handle.
struct OptionalKey {
    std::optional<abi::ObjectHandle> handle;
    const abi::ObjectHandle* get() const { return handle ? &*handle : nullptr; }

    ck_rv_t resolve(Session& session, unsigned long object) {
        if (object == 0) return CKR_OK;
        handle.emplace();
        return objectOf(session, object, CKO_PRIVATE_KEY, Access::PrivateUse, *handle);
    }
};

// The card signs requests and messages with the user's private key.
ck_rv_t requireUser(const Session& session) { return access(session, Access::PrivateUse, {true, true}); }
// Imports write token objects, a private key among them.
ck_rv_t requireWriter(const Session& session) { return access(session, Access::Write, {true, true}); }

unsigned long createCertificateRequest(unsigned long sessionHandle, unsigned long publicKey, unsigned long privateKey,
                                       const KORVA_NAME_VALUE* subject, unsigned long subjectCount,
                                       const KORVA_NAME_VALUE* attributes, unsigned long attributeCount,
                                       const KORVA_EXTENSION* extensions, unsigned long extensionCount,
                                       unsigned char* request, unsigned long* requestLength) {
    return withSession(sessionHandle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (const ck_rv_t rv = requireUser(session); rv != CKR_OK) return rv;
        TextBlock subjectBlock, attributeBlock, extensionBlock;
        if (!subjectBlock.addPairs(subject, subjectCount) || !attributeBlock.addPairs(attributes, attributeCount) ||
            !extensionBlock.addExtensions(extensions, extensionCount))
            return CKR_ARGUMENTS_BAD;
        const auto counts = std::array{narrow(subjectCount), narrow(attributeCount), narrow(extensionCount)};
        if (!counts[0] || !counts[1] || !counts[2]) return CKR_ARGUMENTS_BAD;
        abi::ObjectHandle publicHandle{};
        OptionalKey privateHandle;
        if (const ck_rv_t rv = objectOf(session, publicKey, CKO_PUBLIC_KEY, Access::Read, publicHandle); rv != CKR_OK)
            return rv;
        if (const ck_rv_t rv = privateHandle.resolve(session, privateKey); rv != CKR_OK) return rv;
        LoginRecordCopy login;
        token.fillLogin(login);
        // No extension list at all, rather than an empty extension request.
        const char* extensionList = extensionCount == 0 ? nullptr : extensionBlock.data();
        return withOutput(requestLength, [&](abi::CK_ULONG* length) {
            return token.module().createCertificateRequest(token.context(), login.get(), token.settings(),
                                                           &publicHandle, privateHandle.get(), subjectBlock.data(),
                                                           *counts[0], request, length, attributeBlock.data(),
                                                           *counts[1], extensionList, *counts[2], kExtensionTriples);
        });
    });
}

unsigned long signMessage(unsigned long sessionHandle, unsigned long certificate, unsigned long privateKey,
                          const unsigned long* furtherCertificates, unsigned long furtherCount,
                          const unsigned char* data, unsigned long dataLength, unsigned long flags,
                          unsigned char* message, unsigned long* messageLength) {
    return withSession(sessionHandle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (const ck_rv_t rv = requireUser(session); rv != CKR_OK) return rv;
        if (data == nullptr || dataLength == 0) return CKR_ARGUMENTS_BAD;
        if (const ck_rv_t rv = checkBytes(data, dataLength); rv != CKR_OK) return rv;
        if ((flags & ~KORVA_MESSAGE_DETACHED) != 0) return CKR_ARGUMENTS_BAD;
        if ((furtherCertificates == nullptr && furtherCount != 0) || !narrow(furtherCount)) return CKR_ARGUMENTS_BAD;
        abi::ObjectHandle certificateHandle{};
        OptionalKey privateHandle;
        if (const ck_rv_t rv = objectOf(session, certificate, CKO_CERTIFICATE, Access::Read, certificateHandle);
            rv != CKR_OK)
            return rv;
        if (const ck_rv_t rv = privateHandle.resolve(session, privateKey); rv != CKR_OK) return rv;
        std::vector<abi::CertificateEntry> further(furtherCount);
        for (unsigned long i = 0; i < furtherCount; ++i) {
            const ck_rv_t rv =
                objectOf(session, furtherCertificates[i], CKO_CERTIFICATE, Access::Read, further[i].handle);
            if (rv != CKR_OK) return rv;
        }
        LoginRecordCopy login;
        token.fillLogin(login);
        return withOutput(messageLength, [&](abi::CK_ULONG* length) {
            return token.module().signMessage(token.context(), login.get(), token.settings(), data,
                                              abi::CK_ULONG(dataLength), &certificateHandle, message, length,
                                              privateHandle.get(), further.empty() ? nullptr : further.data(),
                                              abi::CK_ULONG(furtherCount), abi::CK_ULONG(flags));
        });
    });
}

unsigned long verifyMessage(unsigned long sessionHandle, const unsigned char* message, unsigned long messageLength,
                            const unsigned char* content, unsigned long contentLength) {
    return withSession(sessionHandle, [&](Library&, Session&, Token& token) -> ck_rv_t {
        if (message == nullptr || messageLength == 0) return CKR_ARGUMENTS_BAD;
        if (const ck_rv_t rv = checkBytes(message, messageLength); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = checkBytes(content, contentLength); rv != CKR_OK) return rv;
        return token.module().verifyMessage(token.context(), nullptr, nullptr, message, abi::CK_ULONG(messageLength),
                                            content, abi::CK_ULONG(contentLength));
    });
}

unsigned long importPkcs12(unsigned long sessionHandle, const unsigned char* pkcs12, unsigned long pkcs12Length,
                           const char* password, unsigned long passwordLength) {
    return withSession(sessionHandle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (const ck_rv_t rv = requireWriter(session); rv != CKR_OK) return rv;
        if (pkcs12 == nullptr || pkcs12Length == 0) return CKR_ARGUMENTS_BAD;
        if (const ck_rv_t rv = checkBytes(pkcs12, pkcs12Length); rv != CKR_OK) return rv;
        if ((password == nullptr && passwordLength != 0) || !narrow(passwordLength)) return CKR_ARGUMENTS_BAD;
        LoginRecordCopy login;
        token.fillLogin(login);
        abi::ObjectSummary certificate{}, publicKey{}, privateKey{};
        return token.module().importPkcs12(token.context(), login.get(), token.settings(), pkcs12,
                                           abi::CK_ULONG(pkcs12Length), password, abi::CK_ULONG(passwordLength),
                                           &certificate, &publicKey, &privateKey);
    });
}

unsigned long importCertificate(unsigned long sessionHandle, const char* label, const unsigned char* id,
                                unsigned long idLength, const unsigned char* certificate,
                                unsigned long certificateLength) {
    return withSession(sessionHandle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (const ck_rv_t rv = requireWriter(session); rv != CKR_OK) return rv;
        if (certificate == nullptr || certificateLength == 0) return CKR_ARGUMENTS_BAD;
        if (const ck_rv_t rv = checkBytes(certificate, certificateLength); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = checkBytes(id, idLength); rv != CKR_OK) return rv;
        LoginRecordCopy login;
        token.fillLogin(login);
        return token.module().importCertificate(token.context(), login.get(), token.settings(), label, id,
                                                abi::CK_ULONG(idLength), certificate, abi::CK_ULONG(certificateLength));
    });
}

KORVA_VENDOR_FUNCTION_LIST vendorFunctions = {
    KORVA_VENDOR_FUNCTIONS_MAJOR,
    KORVA_VENDOR_FUNCTIONS_MINOR,
    createCertificateRequest,
    signMessage,
    verifyMessage,
    importPkcs12,
    importCertificate,
};

}  // namespace
}  // namespace korva::host

// Callable before C_Initialize, like C_GetFunctionList.
extern "C" __attribute__((visibility("default"))) unsigned long KORVA_GetVendorFunctionList(
    KORVA_VENDOR_FUNCTION_LIST** list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    *list = &korva::host::vendorFunctions;
    return CKR_OK;
}
