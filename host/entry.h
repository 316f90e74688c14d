// What every exported function shares: no exception leaves the library, a
// call before C_Initialize gets CKR_CRYPTOKI_NOT_INITIALIZED, a stale slot or
// session gets its standard code, and the token is held for the whole call.
#pragma once

#include "host/access.h"
#include "host/handles.h"
#include "host/library.h"
#include "host/object_identity.h"
#include "host/pkcs11_api.h"

#include <limits>
#include <new>
#include <optional>

// Every PKCS#11 function the library exports: C linkage, visible although
// the library is built with hidden symbols.
#define KORVA_HOST_EXPORT extern "C" __attribute__((visibility("default")))

namespace korva::host {

template <typename Body>
ck_rv_t guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// With the trace on (host/trace.h), the call's result goes to stderr when
// no traced function-list entry prints it.
ck_rv_t traced(const char* function, ck_rv_t rv) noexcept;

// body(Library&)
template <typename Body>
ck_rv_t withLibrary(Body&& body, const char* function = __builtin_FUNCTION()) noexcept {
    return traced(function, guarded([&]() -> ck_rv_t {
                      const std::shared_ptr<Library> library = Library::current();
                      if (library == nullptr) return CKR_CRYPTOKI_NOT_INITIALIZED;
                      return body(*library);
                  }));
}

// body(Library&, Token&), with the token held and its card present and ours.
template <typename Body>
ck_rv_t withToken(ck_slot_id_t slot, Body&& body, const char* function = __builtin_FUNCTION()) noexcept {
    return withLibrary(
        [&](Library& library) -> ck_rv_t {
            Token* token = library.token(slot);
            if (token == nullptr) return CKR_SLOT_ID_INVALID;
            TokenCall call(*token);
            const ck_rv_t admitted = library.admitCall(*token, call, false);
            return library.finishCall(*token, call, admitted != CKR_OK ? admitted : body(library, *token));
        },
        function);
}

// body(Library&, Session&, Token&), with the session's token held.
template <typename Body>
ck_rv_t withSession(ck_session_handle_t handle, Body&& body, const char* function = __builtin_FUNCTION()) noexcept {
    return withLibrary(
        [&](Library& library) -> ck_rv_t {
            const std::shared_ptr<Session> session = library.session(handle);
            if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
            Token& token = session->token;
            TokenCall call(token);
            if (session->closed) return CKR_SESSION_HANDLE_INVALID;
            const ck_rv_t admitted = library.admitCall(token, call, true);
            if (admitted != CKR_OK) return library.finishCall(token, call, admitted);
            return library.finishCall(token, call, body(library, *session, token));
        },
        function);
}

// body(Library&, Session&), for the calls that need nothing of the card
// (C_GetSessionInfo, C_FindObjects, C_FindObjectsFinal): the token's lock
// only. A card taken away meanwhile is noticed by the next call that needs
// it.
template <typename Body>
ck_rv_t withSessionOnly(ck_session_handle_t handle, Body&& body, const char* function = __builtin_FUNCTION()) noexcept {
    return withLibrary(
        [&](Library& library) -> ck_rv_t {
            const std::shared_ptr<Session> session = library.session(handle);
            if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
            TokenCall call(session->token, TokenCall::WithoutCard{});
            if (session->closed) return CKR_SESSION_HANDLE_INVALID;
            return body(library, *session);
        },
        function);
}

// A length or count of the application's ABI in the module's 32 bits.
inline std::optional<abi::CK_ULONG> narrow(unsigned long value) {
    if (value > std::numeric_limits<abi::CK_ULONG>::max()) return std::nullopt;
    return static_cast<abi::CK_ULONG>(value);
}

// A length the module is to read data of: below 0xFFFFFFFF, which the
// module's records use for "no value" (as attribute lengths are).
inline std::optional<abi::CK_ULONG> moduleLength(unsigned long value) {
    if (value >= std::numeric_limits<abi::CK_ULONG>::max()) return std::nullopt;
    return static_cast<abi::CK_ULONG>(value);
}

// An output capacity: larger than any answer once beyond 32 bits.
inline abi::CK_ULONG capacity(unsigned long value) {
    return static_cast<abi::CK_ULONG>(std::min<unsigned long>(value, std::numeric_limits<abi::CK_ULONG>::max()));
}
// Runs `make`, a module call that makes an object, after a look at what
// others changed (so that our own change does not hide theirs), and with the
// crash journal noting a session key the card keeps first: a key that cannot
// be journalled is not made (a crash would leave it on the card for good).
template <typename Make>
ck_rv_t journalled(Token& token, bool sessionKey, Make make) {
    noticeChangesElsewhere(token);
    if (!sessionKey) return make();
    if (!token.journalCardObjects(true)) return CKR_FUNCTION_FAILED;
    const ck_rv_t rv = make();
    token.journalCardObjects(false);
    return rv;
}

// The object an application's handle names on the token, copied out, when
// the session may access it so: `missing` (CKR_OBJECT_HANDLE_INVALID or a
// key's code) for a handle of no object the library knows, else the access
// rule's answer.
ck_rv_t findObject(Session& session, ck_object_handle_t handle, Access access, ObjectEntry& entry,
                   ck_rv_t missing = CKR_OBJECT_HANDLE_INVALID);
// Records an object the module made and returns the application's handle;
// objects of the module's session table are noted with their session.
// An object the template asked to be a session object, though the module
// kept it on the card (every secret key but triple DES, every key pair), is
// owned by the session, which destroys it when it ends. `publicHalf`: the
// public key made with a private key.
ck_object_handle_t recordObject(Session& session, const abi::ObjectHandle& made, const abi::ObjectSummary& summary,
                                bool tokenObject, const abi::ObjectHandle* publicHalf = nullptr);
bool isSessionObject(const abi::ObjectHandle& handle);

class ModuleTemplate;
// Completes a template with the defaults applications rely on and returns
// the kind of object it asks for: `impliedClass` (the class the call makes)
// when it names none, CKA_PRIVATE true for private and secret keys that do
// not set it; a session object unless CKA_TOKEN is true.
ObjectKind completeTemplate(ModuleTemplate& given, std::optional<unsigned long> impliedClass = std::nullopt);

// A mechanism in the module's layout; its parameter record converted where
// its layout holds unsigned long fields.
class ModuleMechanism final {
public:
    ck_rv_t convert(const ck_mechanism* mechanism);
    const abi::CK_MECHANISM* get() const { return &mechanism_; }
    abi::CK_MECHANISM_TYPE type() const { return mechanism_.mechanism; }

private:
    abi::CK_MECHANISM mechanism_{};
    abi::CK_GOSTR3410_DERIVE_PARAMS derive_{};
};

}  // namespace korva::host
