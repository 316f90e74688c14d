// Digest, signatures and ciphers. The module's digest, sign and verify work in
// one part: the Update calls buffer the data and Final hands it over. The
// cipher slots keep their own state in the operation record and are called
// part by part.
#include "host/entry.h"

#include <optional>
#include "host/hash_and_sign.h"

namespace korva::host {
namespace {

// The standard keeps an operation running after a length query and after
// CKR_BUFFER_TOO_SMALL, so that the application can call again; any other
// outcome ends it.
ck_rv_t settle(Operation& operation, ck_rv_t rv, const void* output) {
    if (!(rv == CKR_BUFFER_TOO_SMALL || (rv == CKR_OK && output == nullptr))) operation.finish();
    return rv;
}

ck_rv_t checkData(const unsigned char* data, unsigned long length) {
    if (data == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    if (!narrow(length)) return CKR_DATA_LEN_RANGE;
    return CKR_OK;
}

// Calls a module slot that writes output of a length the caller learns,
// with the application's 64-bit length in and out.
template <typename Call>
ck_rv_t withOutputLength(unsigned long* length, Call&& call) {
    abi::CK_ULONG moduleLength = capacity(*length);
    const abi::CK_RV rv = call(&moduleLength);
    if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *length = moduleLength;
    return rv;
}

using InitSlot = abi::KeyOperationInitSlot;

// The chaining modes and the IV each needs: a block.
std::optional<unsigned long> ivLength(abi::CK_MECHANISM_TYPE type) {
    switch (type) {
        case CKM_AES_CBC:
        case CKM_AES_CBC_PAD: return 16;
        case CKM_DES_CBC:
        case CKM_DES_CBC_PAD:
        case CKM_DES3_CBC:
        case CKM_DES3_CBC_PAD: return 8;
        default: return std::nullopt;
    }
}

bool isPadded(abi::CK_MECHANISM_TYPE type) {
    return type == CKM_AES_CBC_PAD || type == CKM_DES_CBC_PAD || type == CKM_DES3_CBC_PAD;
}

// The initialisation shared by sign, verify and the ciphers. `use`: Read for
// the public operations (verify, encrypt), PrivateUse for the others.
ck_rv_t startKeyOperation(Session& session, Operation& operation, const ck_mechanism* mechanism, ck_object_handle_t key,
                          Access use, InitSlot slot) {
    if (operation.active) return CKR_OPERATION_ACTIVE;
    ObjectEntry keyObject;
    if (const ck_rv_t rv = findObject(session, key, use, keyObject, CKR_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    // The library's own session objects never reach the card or the module.
    if (keyObject.librarySerial != 0) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    ModuleMechanism converted;
    if (const ck_rv_t rv = converted.convert(mechanism); rv != CKR_OK) return rv;
    if (const auto iv = ivLength(converted.type()); iv && mechanism->parameter_len != *iv)
        return CKR_MECHANISM_PARAM_INVALID;
    Token& token = session.token;
    abi::OperationRecord record{};
    const abi::CK_RV rv = slot(token.context(), nullptr, nullptr, converted.get(), &keyObject.module, &record);
    if (rv != CKR_OK) return rv;
    operation.start(converted.type(), keyObject.module);
    operation.record = record;
    operation.needsUser = keyObject.isPrivate || (use == Access::PrivateUse && keyObject.tokenObject);
    return CKR_OK;
}

// An operation whose key needs the user stops when the user logs out.
bool lostItsUser(Token& token, Operation& operation) { return operation.lostItsUser(token.user() == CKU_USER); }

ck_rv_t buffer(Token& token, Operation& operation, const unsigned char* data, unsigned long length) {
    if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (lostItsUser(token, operation)) return CKR_USER_NOT_LOGGED_IN;
    if (const ck_rv_t rv = checkData(data, length); rv != CKR_OK) return settle(operation, rv, nullptr);
    if (operation.pending.size() + length > 0xFFFFFFFEu) {
        operation.finish();
        return CKR_DATA_LEN_RANGE;
    }
    operation.updated = true;
    if (length != 0) operation.pending.insert(operation.pending.end(), data, data + length);
    return CKR_OK;
}

// The one-part call, refused once Update calls have begun.
ck_rv_t oneShotAllowed(Operation& operation) {
    if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (operation.updated) return CKR_OPERATION_ACTIVE;
    return CKR_OK;
}

ck_rv_t runDigest(Token& token, Operation& operation, const uint8_t* data, unsigned long length, unsigned char* digest,
                  unsigned long* digestLength) {
    if (digestLength == nullptr) return settle(operation, CKR_ARGUMENTS_BAD, digest);
    const ck_rv_t rv = withOutputLength(digestLength, [&](abi::CK_ULONG* moduleLength) {
        return token.module().digest(token.context(), nullptr, nullptr, data, static_cast<abi::CK_ULONG>(length),
                                     digest, moduleLength, &operation.record, operation.mechanism);
    });
    return settle(operation, rv, digest);
}

ck_rv_t runSign(Token& token, Operation& operation, bool recover, const uint8_t* data, unsigned long length,
                unsigned char* signature, unsigned long* signatureLength) {
    if (signatureLength == nullptr) return settle(operation, CKR_ARGUMENTS_BAD, signature);
    if (lostItsUser(token, operation)) return CKR_USER_NOT_LOGGED_IN;
    LoginRecordCopy login;
    token.fillLogin(login);
    const auto slot = recover ? token.module().signRecover : token.module().sign;
    WipedBytes hashed;
    const std::span<const uint8_t> input = cardInput(operation.hashAndSign, {data, length}, hashed);
    const ck_rv_t rv = withOutputLength(signatureLength, [&](abi::CK_ULONG* moduleLength) {
        return slot(token.context(), login.get(), nullptr, input.data(), static_cast<abi::CK_ULONG>(input.size()),
                    signature, moduleLength, &operation.key, &operation.record, operation.mechanism);
    });
    return settle(operation, rv, signature);
}

ck_rv_t runVerify(Token& token, Operation& operation, const uint8_t* data, unsigned long length,
                  const unsigned char* signature, unsigned long signatureLength) {
    if (lostItsUser(token, operation)) return CKR_USER_NOT_LOGGED_IN;
    LoginRecordCopy login;
    token.fillLogin(login);
    WipedBytes hashed;
    const std::span<const uint8_t> input = cardInput(operation.hashAndSign, {data, length}, hashed);
    const abi::CK_RV rv = token.module().verify(
        token.context(), login.get(), nullptr, input.data(), static_cast<abi::CK_ULONG>(input.size()), signature,
        static_cast<abi::CK_ULONG>(signatureLength), &operation.key, &operation.record, operation.mechanism);
    operation.finish();
    return rv;
}

using CipherData = abi::CipherDataSlot;
using CipherFinal = abi::CipherFinalSlot;

ck_rv_t callCipherDataSlot(Token& token, Operation& operation, CipherData slot, bool last, const unsigned char* input,
                           unsigned long inputLength, unsigned char* output, unsigned long* outputLength) {
    if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (outputLength == nullptr || (input == nullptr && inputLength != 0)) {
        operation.finish();
        return CKR_ARGUMENTS_BAD;
    }
    const auto length = narrow(inputLength);
    if (!length) {
        operation.finish();
        return CKR_DATA_LEN_RANGE;
    }
    if (lostItsUser(token, operation)) return CKR_USER_NOT_LOGGED_IN;
    if (inputLength != 0) operation.sawData = true;
    LoginRecordCopy login;
    token.fillLogin(login);
    const ck_rv_t rv = withOutputLength(outputLength, [&](abi::CK_ULONG* moduleLength) {
        return slot(token.context(), login.get(), nullptr, input, *length, output, moduleLength, &operation.key,
                    &operation.record, operation.mechanism);
    });
    if (last) return settle(operation, rv, output);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) operation.finish();
    return rv;
}

ck_rv_t finishCipher(Token& token, Operation& operation, CipherFinal slot, unsigned char* output,
                     unsigned long* outputLength) {
    if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (outputLength == nullptr) return settle(operation, CKR_ARGUMENTS_BAD, output);
    if (lostItsUser(token, operation)) return CKR_USER_NOT_LOGGED_IN;
    LoginRecordCopy login;
    token.fillLogin(login);
    const ck_rv_t rv = withOutputLength(outputLength, [&](abi::CK_ULONG* moduleLength) {
        return slot(token.context(), login.get(), nullptr, output, moduleLength, &operation.key, &operation.record,
                    operation.mechanism);
    });
    return settle(operation, rv, output);
}

}  // namespace
}  // namespace korva::host

using namespace korva::host;

// --- digest -----------------------------------------------------------------

KORVA_HOST_EXPORT ck_rv_t C_DigestInit(ck_session_handle_t handle, ck_mechanism* mechanism) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.digest.active) return CKR_OPERATION_ACTIVE;
        ModuleMechanism converted;
        if (const ck_rv_t rv = converted.convert(mechanism); rv != CKR_OK) return rv;
        abi::OperationRecord record{};
        const abi::CK_RV rv = token.module().digestInit(token.context(), nullptr, nullptr, converted.get(), &record);
        if (rv != CKR_OK) return rv;
        session.digest.start(converted.type(), {});
        session.digest.record = record;
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_Digest(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                   unsigned char* digest, unsigned long* digestLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (const ck_rv_t rv = oneShotAllowed(session.digest); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = checkData(data, length); rv != CKR_OK) return settle(session.digest, rv, digest);
        return runDigest(token, session.digest, data, length, digest, digestLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_DigestUpdate(ck_session_handle_t handle, unsigned char* data, unsigned long length) {
    return withSession(
        handle, [&](Library&, Session& session, Token& token) { return buffer(token, session.digest, data, length); });
}

KORVA_HOST_EXPORT ck_rv_t C_DigestKey(ck_session_handle_t handle, ck_object_handle_t) {
    return withSession(handle, [&](Library&, Session& session, Token&) -> ck_rv_t {
        if (!session.digest.active) return CKR_OPERATION_NOT_INITIALIZED;
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_DigestFinal(ck_session_handle_t handle, unsigned char* digest,
                                        unsigned long* digestLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (!session.digest.active) return CKR_OPERATION_NOT_INITIALIZED;
        return runDigest(token, session.digest, session.digest.pending.data(), session.digest.pending.size(), digest,
                         digestLength);
    });
}

// --- signatures -------------------------------------------------------------

namespace {

ck_rv_t signInit(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t key, bool recover) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.sign.active) return CKR_OPERATION_ACTIVE;
        const SignatureMechanism signature(mechanism);
        if (const ck_rv_t rv = signature.check(recover); rv != CKR_OK) return rv;
        const ck_rv_t rv = startKeyOperation(session, session.sign, signature.forModule(), key, Access::PrivateUse,
                                             recover ? token.module().signRecoverInit : token.module().signInit);
        if (rv == CKR_OK) session.sign.hashAndSign = signature.hashAndSign();
        session.signRecover = recover;
        return rv;
    });
}

ck_rv_t sign(ck_session_handle_t handle, unsigned char* data, unsigned long length, unsigned char* signature,
             unsigned long* signatureLength, bool recover) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.sign.active && session.signRecover != recover) return CKR_OPERATION_NOT_INITIALIZED;
        if (const ck_rv_t rv = oneShotAllowed(session.sign); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = checkData(data, length); rv != CKR_OK) return settle(session.sign, rv, signature);
        return runSign(token, session.sign, recover, data, length, signature, signatureLength);
    });
}

ck_rv_t verifyInit(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t key, bool recover) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.verify.active) return CKR_OPERATION_ACTIVE;
        const SignatureMechanism signature(mechanism);
        if (const ck_rv_t rv = signature.check(recover); rv != CKR_OK) return rv;
        const ck_rv_t rv = startKeyOperation(session, session.verify, signature.forModule(), key, Access::Read,
                                             recover ? token.module().verifyRecoverInit : token.module().verifyInit);
        if (rv == CKR_OK) session.verify.hashAndSign = signature.hashAndSign();
        session.verifyRecover = recover;
        return rv;
    });
}

}  // namespace

KORVA_HOST_EXPORT ck_rv_t C_SignInit(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t key) {
    return signInit(handle, mechanism, key, false);
}

KORVA_HOST_EXPORT ck_rv_t C_Sign(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                 unsigned char* signature, unsigned long* signatureLength) {
    return sign(handle, data, length, signature, signatureLength, false);
}

KORVA_HOST_EXPORT ck_rv_t C_SignUpdate(ck_session_handle_t handle, unsigned char* data, unsigned long length) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.signRecover) return CKR_OPERATION_NOT_INITIALIZED;
        return buffer(token, session.sign, data, length);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_SignFinal(ck_session_handle_t handle, unsigned char* signature,
                                      unsigned long* signatureLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (!session.sign.active || session.signRecover) return CKR_OPERATION_NOT_INITIALIZED;
        return runSign(token, session.sign, false, session.sign.pending.data(), session.sign.pending.size(), signature,
                       signatureLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_SignRecoverInit(ck_session_handle_t handle, ck_mechanism* mechanism,
                                            ck_object_handle_t key) {
    return signInit(handle, mechanism, key, true);
}

KORVA_HOST_EXPORT ck_rv_t C_SignRecover(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                        unsigned char* signature, unsigned long* signatureLength) {
    return sign(handle, data, length, signature, signatureLength, true);
}

KORVA_HOST_EXPORT ck_rv_t C_VerifyInit(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t key) {
    return verifyInit(handle, mechanism, key, false);
}

KORVA_HOST_EXPORT ck_rv_t C_Verify(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                   unsigned char* signature, unsigned long signatureLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.verifyRecover) return CKR_OPERATION_NOT_INITIALIZED;
        if (const ck_rv_t rv = oneShotAllowed(session.verify); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = checkData(data, length); rv != CKR_OK) return settle(session.verify, rv, nullptr);
        if (signature == nullptr || !narrow(signatureLength)) return settle(session.verify, CKR_ARGUMENTS_BAD, nullptr);
        return runVerify(token, session.verify, data, length, signature, signatureLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_VerifyUpdate(ck_session_handle_t handle, unsigned char* data, unsigned long length) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.verifyRecover) return CKR_OPERATION_NOT_INITIALIZED;
        return buffer(token, session.verify, data, length);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_VerifyFinal(ck_session_handle_t handle, unsigned char* signature,
                                        unsigned long signatureLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (!session.verify.active || session.verifyRecover) return CKR_OPERATION_NOT_INITIALIZED;
        if (signature == nullptr || !narrow(signatureLength)) return settle(session.verify, CKR_ARGUMENTS_BAD, nullptr);
        return runVerify(token, session.verify, session.verify.pending.data(), session.verify.pending.size(), signature,
                         signatureLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_VerifyRecoverInit(ck_session_handle_t handle, ck_mechanism* mechanism,
                                              ck_object_handle_t key) {
    return verifyInit(handle, mechanism, key, true);
}

KORVA_HOST_EXPORT ck_rv_t C_VerifyRecover(ck_session_handle_t handle, unsigned char* signature,
                                          unsigned long signatureLength, unsigned char* data,
                                          unsigned long* dataLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        Operation& operation = session.verify;
        if (!operation.active || !session.verifyRecover) return CKR_OPERATION_NOT_INITIALIZED;
        if (signature == nullptr || dataLength == nullptr) return settle(operation, CKR_ARGUMENTS_BAD, data);
        if (lostItsUser(token, operation)) return CKR_USER_NOT_LOGGED_IN;
        const auto length = narrow(signatureLength);
        if (!length) return settle(operation, CKR_SIGNATURE_LEN_RANGE, data);
        LoginRecordCopy login;
        token.fillLogin(login);
        const ck_rv_t rv = withOutputLength(dataLength, [&](abi::CK_ULONG* moduleLength) {
            return token.module().verifyRecover(token.context(), login.get(), nullptr, signature, *length, data,
                                                moduleLength, &operation.key, &operation.record, operation.mechanism);
        });
        return settle(operation, rv, data);
    });
}

// --- ciphers ----------------------------------------------------------------

KORVA_HOST_EXPORT ck_rv_t C_EncryptInit(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t key) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        return startKeyOperation(session, session.encrypt, mechanism, key, Access::Read, token.module().encryptInit);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_Encrypt(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                    unsigned char* output, unsigned long* outputLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        return callCipherDataSlot(token, session.encrypt, token.module().encrypt, true, data, length, output,
                                  outputLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_EncryptUpdate(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                          unsigned char* output, unsigned long* outputLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        return callCipherDataSlot(token, session.encrypt, token.module().encryptUpdate, false, data, length, output,
                                  outputLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_EncryptFinal(ck_session_handle_t handle, unsigned char* output,
                                         unsigned long* outputLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        return finishCipher(token, session.encrypt, token.module().encryptFinal, output, outputLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_DecryptInit(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t key) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        return startKeyOperation(session, session.decrypt, mechanism, key, Access::PrivateUse,
                                 token.module().decryptInit);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_Decrypt(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                    unsigned char* output, unsigned long* outputLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        return callCipherDataSlot(token, session.decrypt, token.module().decrypt, true, data, length, output,
                                  outputLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_DecryptUpdate(ck_session_handle_t handle, unsigned char* data, unsigned long length,
                                          unsigned char* output, unsigned long* outputLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        return callCipherDataSlot(token, session.decrypt, token.module().decryptUpdate, false, data, length, output,
                                  outputLength);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_DecryptFinal(ck_session_handle_t handle, unsigned char* output,
                                         unsigned long* outputLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) {
        // A padded cipher always leaves at least one block to decrypt.
        if (session.decrypt.active && isPadded(session.decrypt.mechanism) && !session.decrypt.sawData) {
            session.decrypt.finish();
            return CKR_ENCRYPTED_DATA_LEN_RANGE;
        }
        return finishCipher(token, session.decrypt, token.module().decryptFinal, output, outputLength);
    });
}

// The token has no combined operations: each needs two of its own slots in
// one step, which the module does not offer.
#define KORVA_DUAL_FUNCTION(name)                                                                                     \
    KORVA_HOST_EXPORT ck_rv_t name(ck_session_handle_t handle, unsigned char*, unsigned long, unsigned char*,         \
                                   unsigned long*) {                                                                  \
        return withSession(handle, [](Library&, Session&, Token&) -> ck_rv_t { return CKR_FUNCTION_NOT_SUPPORTED; }); \
    }
KORVA_DUAL_FUNCTION(C_DigestEncryptUpdate)
KORVA_DUAL_FUNCTION(C_DecryptDigestUpdate)
KORVA_DUAL_FUNCTION(C_SignEncryptUpdate)
KORVA_DUAL_FUNCTION(C_DecryptVerifyUpdate)
