// Key generation, wrapping, unwrapping, derivation and random numbers.
#include "host/attributes.h"
#include "host/entry.h"

#define KORVA_HOST_EXPORT extern "C" __attribute__((visibility("default")))

namespace korva::host {
namespace {

// Records a new object: session objects are noted with their session.
ck_object_handle_t madeObject(Session& session, Token& token, const abi::ObjectHandle& made) {
    if (isSessionObject(made)) token.ownSessionObject(made.record, session.handle);
    return applicationHandle(token, made);
}

// The template, the write check its CKA_TOKEN calls for, the login record.
struct KeyRequest {
    ModuleTemplate attributes;
    ModuleMechanism mechanism;
    LoginRecordCopy login;

    ck_rv_t prepare(Session& session, Token& token, const ck_mechanism* given, const ck_attribute* attributes_,
                    unsigned long count) {
        if (const ck_rv_t rv = mechanism.convert(given); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = attributes.copyFrom(attributes_, count); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = requireWritable(session, attributes.boolean(CKA_TOKEN).value_or(false)); rv != CKR_OK)
            return rv;
        token.fillLogin(login);
        return CKR_OK;
    }
};

}  // namespace
}  // namespace korva::host

using namespace korva::host;

KORVA_HOST_EXPORT ck_rv_t C_GenerateKey(ck_session_handle_t handle, ck_mechanism* mechanism, ck_attribute* attributes,
                                        unsigned long count, ck_object_handle_t* key) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (key == nullptr) return CKR_ARGUMENTS_BAD;
        KeyRequest request;
        if (const ck_rv_t rv = request.prepare(session, token, mechanism, attributes, count); rv != CKR_OK) return rv;
        abi::ObjectHandle made{};
        abi::ObjectSummary summary{};
        const abi::CK_RV rv = token.module().generateKey(token.context(), request.login.get(), token.settings(),
                                                         request.attributes.data(), request.attributes.size(),
                                                         request.mechanism.get(), &made, &summary);
        if (rv == CKR_OK) *key = madeObject(session, token, made);
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GenerateKeyPair(ck_session_handle_t handle, ck_mechanism* mechanism,
                                            ck_attribute* publicAttributes, unsigned long publicCount,
                                            ck_attribute* privateAttributes, unsigned long privateCount,
                                            ck_object_handle_t* publicKey, ck_object_handle_t* privateKey) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (publicKey == nullptr || privateKey == nullptr) return CKR_ARGUMENTS_BAD;
        KeyRequest request;
        if (const ck_rv_t rv = request.prepare(session, token, mechanism, publicAttributes, publicCount); rv != CKR_OK)
            return rv;
        ModuleTemplate privateTemplate;
        if (const ck_rv_t rv = privateTemplate.copyFrom(privateAttributes, privateCount); rv != CKR_OK) return rv;
        // Key pairs are always kept on the card.
        if (const ck_rv_t rv = requireWritable(session, true); rv != CKR_OK) return rv;
        abi::ObjectHandle madePublic{}, madePrivate{};
        abi::ObjectSummary publicSummary{}, privateSummary{};
        const abi::CK_RV rv = token.module().generateKeyPair(
            token.context(), request.login.get(), token.settings(), request.attributes.data(), request.attributes.size(),
            privateTemplate.data(), privateTemplate.size(), request.mechanism.get(), &madePublic, &madePrivate,
            &publicSummary, &privateSummary);
        if (rv != CKR_OK) return rv;
        *publicKey = madeObject(session, token, madePublic);
        *privateKey = madeObject(session, token, madePrivate);
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_WrapKey(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t wrappingKey,
                                    ck_object_handle_t key, unsigned char* wrapped, unsigned long* wrappedLength) {
    return withSession(handle, [&](Library&, Session&, Token& token) -> ck_rv_t {
        if (wrappedLength == nullptr) return CKR_ARGUMENTS_BAD;
        ModuleMechanism converted;
        if (const ck_rv_t rv = converted.convert(mechanism); rv != CKR_OK) return rv;
        const auto wrapping = moduleHandle(token, wrappingKey);
        if (!wrapping) return CKR_WRAPPING_KEY_HANDLE_INVALID;
        const auto wrappedKey = moduleHandle(token, key);
        if (!wrappedKey) return CKR_KEY_HANDLE_INVALID;
        LoginRecordCopy login;
        token.fillLogin(login);
        abi::CK_ULONG length = capacity(*wrappedLength);
        const abi::CK_RV rv = token.module().wrapKey(token.context(), login.get(), nullptr, converted.get(), &*wrapping,
                                                     &*wrappedKey, wrapped, &length);
        if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *wrappedLength = length;
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_UnwrapKey(ck_session_handle_t handle, ck_mechanism* mechanism,
                                      ck_object_handle_t unwrappingKey, unsigned char* wrapped,
                                      unsigned long wrappedLength, ck_attribute* attributes, unsigned long count,
                                      ck_object_handle_t* key) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (key == nullptr || wrapped == nullptr) return CKR_ARGUMENTS_BAD;
        const auto length = narrow(wrappedLength);
        if (!length) return CKR_WRAPPED_KEY_LEN_RANGE;
        const auto unwrapping = moduleHandle(token, unwrappingKey);
        if (!unwrapping) return CKR_UNWRAPPING_KEY_HANDLE_INVALID;
        KeyRequest request;
        if (const ck_rv_t rv = request.prepare(session, token, mechanism, attributes, count); rv != CKR_OK) return rv;
        abi::ObjectHandle made{};
        abi::ObjectSummary summary{};
        const abi::CK_RV rv = token.module().unwrapKey(token.context(), request.login.get(), token.settings(),
                                                       request.mechanism.get(), &*unwrapping, wrapped, *length,
                                                       request.attributes.data(), request.attributes.size(), &made,
                                                       &summary);
        if (rv == CKR_OK) *key = madeObject(session, token, made);
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_DeriveKey(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t baseKey,
                                      ck_attribute* attributes, unsigned long count, ck_object_handle_t* key) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (key == nullptr) return CKR_ARGUMENTS_BAD;
        const auto base = moduleHandle(token, baseKey);
        if (!base) return CKR_KEY_HANDLE_INVALID;
        KeyRequest request;
        if (const ck_rv_t rv = request.prepare(session, token, mechanism, attributes, count); rv != CKR_OK) return rv;
        abi::ObjectHandle made{};
        abi::ObjectSummary summary{};
        const abi::CK_RV rv = token.module().deriveKey(token.context(), request.login.get(), token.settings(),
                                                       request.mechanism.get(), &*base, request.attributes.data(),
                                                       request.attributes.size(), &made, &summary);
        if (rv == CKR_OK) *key = madeObject(session, token, made);
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_SeedRandom(ck_session_handle_t handle, unsigned char* seed, unsigned long length) {
    return withSession(handle, [&](Library&, Session&, Token& token) -> ck_rv_t {
        if (seed == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
        return token.module().seedRandom(token.context(), nullptr, nullptr, seed, capacity(length));
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GenerateRandom(ck_session_handle_t handle, unsigned char* output, unsigned long length) {
    return withSession(handle, [&](Library&, Session&, Token& token) -> ck_rv_t {
        if (output == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
        // The module asks for at least one byte; the standard allows none.
        // Requests beyond 32 bits go in parts.
        while (length != 0) {
            const abi::CK_ULONG part = capacity(length);
            const abi::CK_RV rv = token.module().generateRandom(token.context(), nullptr, nullptr, output, part);
            if (rv != CKR_OK) return rv;
            output += part;
            length -= part;
        }
        return CKR_OK;
    });
}
