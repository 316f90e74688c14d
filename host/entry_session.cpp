// Sessions and login: C_OpenSession to C_Logout.
#include "host/entry.h"
#include "host/session_key_journal.h"

namespace korva::host {
namespace {

bool anyReadOnlySession(Library& library, const Token& token) {
    return library.sessionCount(token, false) != library.sessionCount(token, true);
}

}  // namespace
}  // namespace korva::host

using namespace korva::host;

KORVA_HOST_EXPORT ck_rv_t C_OpenSession(ck_slot_id_t slot, ck_flags_t flags, void*, ck_notify_t,
                                        ck_session_handle_t* handle) {
    return withToken(slot, [&](Library& library, Token& token) -> ck_rv_t {
        if (handle == nullptr) return CKR_ARGUMENTS_BAD;
        if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        if ((flags & CKF_RW_SESSION) == 0 && token.user() == CKU_SO) return CKR_SESSION_READ_WRITE_SO_EXISTS;
        *handle = library.openSession(token, flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION))->handle;
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_CloseSession(ck_session_handle_t handle) {
    return withLibrary([&](Library& library) -> ck_rv_t {
        const std::shared_ptr<Session> session = library.takeSession(handle);
        if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
        TokenCall call(session->token);
        endSession(library, *session);
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_CloseAllSessions(ck_slot_id_t slot) {
    return withLibrary([&](Library& library) -> ck_rv_t {
        Token* token = library.token(slot);
        if (token == nullptr) return CKR_SLOT_ID_INVALID;
        TokenCall call(*token);
        for (const auto& session : library.takeSessions(*token)) endSession(library, *session);
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetSessionInfo(ck_session_handle_t handle, ck_session_info* info) {
    return withSessionOnly(handle, [&](Library&, Session& session) -> ck_rv_t {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        *info = {};
        info->slot_id = session.token.id();
        info->state = sessionState(session);
        info->flags = session.flags;
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_Login(ck_session_handle_t handle, ck_user_type_t userType, unsigned char* pin,
                                  unsigned long pinLength) {
    return withSession(handle, [&](Library& library, Session&, Token& token) -> ck_rv_t {
        if (userType != CKU_SO && userType != CKU_USER) {
            return userType == CKU_CONTEXT_SPECIFIC ? CKR_OPERATION_NOT_INITIALIZED : CKR_USER_TYPE_INVALID;
        }
        if (token.user() == userType) return CKR_USER_ALREADY_LOGGED_IN;
        if (token.user()) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (userType == CKU_SO && anyReadOnlySession(library, token)) return CKR_SESSION_READ_ONLY_EXISTS;
        // The card has no protected authentication path: a PIN is needed.
        if (pin == nullptr) return CKR_ARGUMENTS_BAD;
        const auto length = narrow(pinLength);
        if (!length) return CKR_PIN_INCORRECT;
        const abi::CK_RV rv = token.module().login(token.context(), token.settings(), pin, *length,
                                                   userType == CKU_SO ? KORVA_USER_TYPE_SO : KORVA_USER_TYPE_USER);
        if (rv == CKR_OK) token.logIn(userType, {pin, pinLength});
        // The user's PIN may destroy what a process that died left on the card.
        if (rv == CKR_OK && userType == CKU_USER) destroyCrashLeftovers(token);
        token.pinHistory().note(userType, rv);
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_Logout(ck_session_handle_t handle) {
    return withSession(handle, [&](Library&, Session&, Token& token) -> ck_rv_t {
        if (!token.user()) return CKR_USER_NOT_LOGGED_IN;
        // Session keys on the card go while the PIN that may destroy them is known.
        token.destroyCardObjects(token.libraryObjects().takeCardObjectsOf(std::nullopt));
        token.logOut();
        // The card forgets the verified PIN too; the outcome changes nothing
        // for the application, which is logged out either way.
        token.module().resetSecurityState(token.context());
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetOperationState(ck_session_handle_t handle, unsigned char*, unsigned long*) {
    return withSession(handle, [](Library&, Session&, Token&) -> ck_rv_t { return CKR_FUNCTION_NOT_SUPPORTED; });
}

KORVA_HOST_EXPORT ck_rv_t C_SetOperationState(ck_session_handle_t handle, unsigned char*, unsigned long,
                                              ck_object_handle_t, ck_object_handle_t) {
    return withSession(handle, [](Library&, Session&, Token&) -> ck_rv_t { return CKR_FUNCTION_NOT_SUPPORTED; });
}

KORVA_HOST_EXPORT ck_rv_t C_GetFunctionStatus(ck_session_handle_t handle) {
    return withSession(handle, [](Library&, Session&, Token&) -> ck_rv_t { return CKR_FUNCTION_NOT_PARALLEL; });
}

KORVA_HOST_EXPORT ck_rv_t C_CancelFunction(ck_session_handle_t handle) {
    return withSession(handle, [](Library&, Session&, Token&) -> ck_rv_t { return CKR_FUNCTION_NOT_PARALLEL; });
}
