#include "host/access.h"

#include "host/session.h"
#include "host/token.h"

#include <array>

namespace korva::host {
namespace {

constexpr ck_rv_t OK = CKR_OK;
constexpr ck_rv_t RO = CKR_SESSION_READ_ONLY;
constexpr ck_rv_t NL = CKR_USER_NOT_LOGGED_IN;

// Columns: session public, session private, token public, token private.
struct Row {
    ck_state_t state;
    std::array<ck_rv_t, 4> read, write, privateUse;
};

// Writing a token object needs a read-write session and someone logged in:
// the card keeps its object store behind a PIN. Private objects are the
// user's alone. Reading is open to every session, except private objects.
// A key kept on the card signs, decrypts, unwraps and derives only after the
// user's PIN; a public session key needs nobody.
constexpr Row kRules[] = {
    //                        read                write             private use
    {CKS_RO_PUBLIC_SESSION, {OK, NL, OK, NL}, {OK, NL, RO, RO}, {OK, NL, NL, NL}},
    {CKS_RO_USER_FUNCTIONS, {OK, OK, OK, OK}, {OK, OK, RO, RO}, {OK, OK, OK, OK}},
    {CKS_RW_PUBLIC_SESSION, {OK, NL, OK, NL}, {OK, NL, NL, NL}, {OK, NL, NL, NL}},
    {CKS_RW_USER_FUNCTIONS, {OK, OK, OK, OK}, {OK, OK, OK, OK}, {OK, OK, OK, OK}},
    {CKS_RW_SO_FUNCTIONS, {OK, NL, OK, NL}, {OK, NL, OK, NL}, {OK, NL, NL, NL}},
};

const std::array<ck_rv_t, 4>& answers(const Row& row, Access access) {
    if (access == Access::Read) return row.read;
    return access == Access::Write ? row.write : row.privateUse;
}

}  // namespace

ck_state_t sessionState(const Session& session) {
    const auto user = session.token.user();
    if (user == CKU_SO) return CKS_RW_SO_FUNCTIONS;
    if (session.readWrite()) return user ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION;
    return user ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
}

ck_rv_t access(const Session& session, Access access, ObjectKind kind) {
    const ck_state_t state = sessionState(session);
    const size_t column = (kind.tokenObject ? 2 : 0) + (kind.isPrivate ? 1 : 0);
    for (const Row& row : kRules)
        if (row.state == state) return answers(row, access)[column];
    return CKR_GENERAL_ERROR;
}

}  // namespace korva::host
