#include "host/entry.h"

#include "host/attributes.h"
#include "host/object_identity.h"
#include "host/token.h"
#include "host/trace.h"

#include <string>

namespace korva::host {
namespace {

uint16_t directoryOf(const abi::ObjectHandle& handle) {
    return static_cast<uint16_t>(handle.directoryHigh << 8 | handle.directoryLow);
}

}  // namespace

ck_rv_t traced(const char* function, ck_rv_t rv) noexcept {
    if (trace::insideTracedCall() || trace::level() == 0) return rv;
    try {
        trace::line(1, std::string(function) + " -> " + trace::returnValueName(rv));
    } catch (...) {
    }
    return rv;
}

ck_rv_t findObject(Session& session, ck_object_handle_t handle, Access use, ObjectEntry& entry, ck_rv_t missing) {
    const ObjectEntry* known = session.token.handles().find(handle);
    // Without the user, a key the card uses privately is not there to find:
    // say what is missing rather than which handle.
    if (known == nullptr && use == Access::PrivateUse) {
        const ck_rv_t rv = access(session, use, {true, true});
        return rv != CKR_OK ? rv : missing;
    }
    if (known == nullptr) return missing;
    entry = *known;
    if (const ck_rv_t rv = access(session, use, {entry.tokenObject, entry.isPrivate}); rv != CKR_OK) return rv;
    // Another process may have destroyed a card object, or put another in its record.
    if (!entry.onCard()) return CKR_OK;
    if (const ck_rv_t rv = confirmHandle(session.token, handle, missing); rv != CKR_OK) return rv;
    entry = *session.token.handles().find(handle);
    return CKR_OK;
}

ck_object_handle_t recordObject(Session& session, const abi::ObjectHandle& made, const abi::ObjectSummary& summary,
                                bool tokenObject, const abi::ObjectHandle* publicHalf) {
    const bool inModuleTable = isSessionObject(made);
    if (inModuleTable) session.token.ownSessionObject(made.record, session.handle);
    if (!inModuleTable && !tokenObject) session.token.libraryObjects().ownCardObject(made, session.handle);
    ObjectEntry entry{made, summary.objectClass, summary.isPrivate != 0, tokenObject};
    if (entry.onCard()) readIdentity(session.token, entry, publicHalf);
    return session.token.handles().handleFor(entry);
}

bool isSessionObject(const abi::ObjectHandle& handle) { return directoryOf(handle) == KORVA_SESSION_DIRECTORY; }

ObjectKind completeTemplate(ModuleTemplate& given, std::optional<unsigned long> impliedClass) {
    if (impliedClass) given.addIfAbsent(CKA_CLASS, static_cast<abi::CK_ULONG>(*impliedClass));
    const auto objectClass = given.number(CKA_CLASS);
    if (objectClass == CKO_PRIVATE_KEY || objectClass == CKO_SECRET_KEY) given.addIfAbsent(CKA_PRIVATE, true);
    return {given.boolean(CKA_TOKEN).value_or(false), given.boolean(CKA_PRIVATE).value_or(false)};
}

ck_rv_t ModuleMechanism::convert(const ck_mechanism* mechanism) {
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    const auto type = narrow(mechanism->mechanism);
    if (!type) return CKR_MECHANISM_INVALID;
    mechanism_.mechanism = *type;
    const bool derive = *type == CKM_GOSTR3410_DERIVE || *type == CKM_GOSTR3410_12_DERIVE;
    if (derive && mechanism->parameter != nullptr) {
        // Only the standard record, converted: any other bytes would be read
        // by the module as its own layout, pointers included.
        if (mechanism->parameter_len != sizeof(GostDeriveParameters)) return CKR_MECHANISM_PARAM_INVALID;
        const auto& given = *static_cast<const GostDeriveParameters*>(mechanism->parameter);
        const auto kdf = narrow(given.kdf);
        const auto publicLength = moduleLength(given.publicDataLength);
        const auto ukmLength = moduleLength(given.ukmLength);
        if (!kdf || !publicLength || !ukmLength) return CKR_MECHANISM_PARAM_INVALID;
        derive_ = {*kdf, given.publicData, *publicLength, given.ukm, *ukmLength};
        mechanism_.pParameter = &derive_;
        mechanism_.ulParameterLen = sizeof derive_;
        return CKR_OK;
    }
    const auto length = moduleLength(mechanism->parameter_len);
    if (!length || (mechanism->parameter == nullptr && *length != 0)) return CKR_MECHANISM_PARAM_INVALID;
    mechanism_.pParameter = mechanism->parameter;
    mechanism_.ulParameterLen = *length;
    return CKR_OK;
}

}  // namespace korva::host
