// Objects: creation, attributes, destruction and search.
#include "host/attribute_types.h"
#include "host/attributes.h"
#include "host/entry.h"
#include "host/object_cache.h"
#include "host/object_identity.h"
#include "host/object_search.h"
#include "host/rsa_private_import.h"

#include <algorithm>

namespace korva::host {
namespace {

// A session object's attributes come from the host's table through the
// module; the host applies the sensitivity rule itself.
ck_rv_t sessionObjectAttributes(Token& token, const abi::ObjectHandle& handle, ck_attribute* attributes,
                                unsigned long count) {
    ModuleAttributes stored(token.module());
    abi::CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    const abi::CK_RV rv = token.module().getAllAttributes(token.context(), nullptr, token.settings(), &handle,
                                                          stored.items(), stored.count(), &objectClass, &isPrivate);
    if (rv != CKR_OK) return CKR_OBJECT_HANDLE_INVALID;
    const auto sensitive = stored.find(CKA_SENSITIVE);
    const auto extractable = stored.find(CKA_EXTRACTABLE);
    const bool protectedValue = (sensitive && !sensitive->empty() && (*sensitive)[0] != 0) ||
                                (extractable && !extractable->empty() && (*extractable)[0] == 0);
    return stored.fill(attributes, count,
                       protectedValue ? std::optional<ck_attribute_type_t>(CKA_VALUE) : std::nullopt);
}

ck_rv_t tokenObjectAttributes(Token& token, const ObjectEntry& object, ck_attribute* attributes, unsigned long count) {
    const abi::ObjectHandle& handle = object.module;
    if (const auto cached = cachedAttributes(token, handle, attributes, count)) return *cached;
    ModuleTemplate wanted;
    const ck_rv_t local = wanted.prepareToFill(attributes, count);
    if (local != CKR_OK && local != CKR_BUFFER_TOO_SMALL) return local;
    LoginRecordCopy login;
    token.fillLogin(login);
    const abi::CK_RV rv = token.module().getAttributeValue(token.context(), login.get(), token.settings(), &handle,
                                                           wanted.data(), wanted.size());
    if (rv != CKR_OK && rv != CKR_ATTRIBUTE_SENSITIVE && rv != CKR_ATTRIBUTE_TYPE_INVALID && rv != CKR_BUFFER_TOO_SMALL)
        return rv;
    const ck_rv_t returned = wanted.returnTo(attributes, count);
    if (rv == CKR_ATTRIBUTE_SENSITIVE) {
        for (unsigned long i = 0; i < count; ++i)
            if (isSecretPart(object.objectClass, attributes[i].type))
                attributes[i].value_len = CK_UNAVAILABLE_INFORMATION;
    }
    if (rv != CKR_OK) return rv;
    return local != CKR_OK ? local : returned;
}

// A session object that the library keeps itself.
ck_rv_t keepInLibrary(Session& session, ModuleTemplate given, ck_object_handle_t& object) {
    uint32_t serial = 0;
    const unsigned long objectClass = given.number(CKA_CLASS).value_or(CKO_DATA);
    const bool isPrivate = given.boolean(CKA_PRIVATE).value_or(false);
    if (const ck_rv_t rv = session.token.libraryObjects().add(session.handle, std::move(given), serial); rv != CKR_OK)
        return rv;
    object = session.token.handles().handleFor({{}, objectClass, isPrivate, false, serial});
    return CKR_OK;
}

// Whether every attribute of the template belongs to the class.
bool classHasAll(unsigned long objectClass, const ck_attribute* attributes, unsigned long count) {
    for (unsigned long i = 0; i < count; ++i)
        if (!classHas(objectClass, attributes[i].type)) return false;
    return true;
}

// An application sees only the attributes of the object's class, though the
// module completes every object with the standard booleans.
ck_rv_t hideOtherClasses(unsigned long objectClass, ck_attribute* attributes, unsigned long count, ck_rv_t rv) {
    for (unsigned long i = 0; i < count; ++i) {
        if (classHas(objectClass, attributes[i].type)) continue;
        attributes[i].value_len = CK_UNAVAILABLE_INFORMATION;
        if (rv == CKR_OK) rv = CKR_ATTRIBUTE_TYPE_INVALID;
    }
    return rv;
}

// Whether the change touches what names the object (host/object_identity.h).
bool changesName(unsigned long objectClass, const ck_attribute* attributes, unsigned long count) {
    const auto naming = namingAttributes(objectClass);
    for (unsigned long i = 0; i < count; ++i)
        if (std::find(naming.begin(), naming.end(), attributes[i].type) != naming.end()) return true;
    return false;
}

// A change the standard allows: attributes of the class only, and a key once
// sensitive or unextractable stays so.
ck_rv_t checkChange(unsigned long objectClass, const ModuleTemplate& given, const ck_attribute* attributes,
                    unsigned long count) {
    if (!classHasAll(objectClass, attributes, count)) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (given.boolean(CKA_SENSITIVE) == false || given.boolean(CKA_EXTRACTABLE) == true) return CKR_ATTRIBUTE_READ_ONLY;
    return CKR_OK;
}

// Keeps the handles of the objects that match.
ck_rv_t search(Session& session, Token& token, const ck_attribute* attributes, unsigned long count) {
    noticeChangesElsewhere(token);
    PairedIdentities identities;
    std::vector<std::pair<ObjectEntry, size_t>> matched;  // with its number to `identities`
    const ck_rv_t rv = searchObjects(
        token, attributes, count,
        [&](const abi::ObjectHandle& handle, uint32_t objectClass, bool isPrivate, const AttributeView& object) {
            ObjectEntry entry{handle, objectClass, isPrivate, !isSessionObject(handle)};
            // Private objects exist for the application only while the user is logged in.
            if (access(session, Access::Read, {entry.tokenObject, entry.isPrivate}) != CKR_OK) return;
            size_t index = 0;
            if (entry.onCard()) entry.identity = identities.meet(objectClass, object, index);
            if (classHasAll(objectClass, attributes, count) && object.matches(attributes, count))
                matched.emplace_back(entry, index);
        });
    if (rv != CKR_OK) return rv;
    for (auto& [entry, index] : matched) {
        if (entry.onCard()) entry.pairedWith = identities.publicHalf(index);
        session.found.push_back(token.handles().handleFor(entry));
    }
    for (auto& [serial, object] : token.libraryObjects().all()) {
        if (access(session, Access::Read, {false, object.isPrivate}) != CKR_OK) continue;
        if (classHasAll(object.objectClass, attributes, count) && object.view().matches(attributes, count))
            session.found.push_back(
                token.handles().handleFor({{}, object.objectClass, object.isPrivate, false, serial}));
    }
    return CKR_OK;
}

}  // namespace
}  // namespace korva::host

using namespace korva::host;

KORVA_HOST_EXPORT ck_rv_t C_CreateObject(ck_session_handle_t handle, ck_attribute* attributes, unsigned long count,
                                         ck_object_handle_t* object) {
    // Written with its public key first, outside the session's lock.
    if (needsRsaKeyPairFile(attributes, count))
        return guarded([&] { return createRsaPrivateKey(handle, attributes, count, object); });
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (object == nullptr || (attributes == nullptr && count != 0)) return CKR_ARGUMENTS_BAD;
        ModuleTemplate given;
        if (const ck_rv_t rv = given.copyFrom(attributes, count); rv != CKR_OK) return rv;
        const ObjectKind kind = completeTemplate(given);
        if (const ck_rv_t rv = access(session, Access::Write, kind); rv != CKR_OK) return rv;
        if (SessionObjectStore::keepsHere(given)) return keepInLibrary(session, std::move(given), *object);
        LoginRecordCopy login;
        token.fillLogin(login);
        abi::ObjectHandle made{};
        abi::ObjectSummary summary{};
        return journalled(token, !kind.tokenObject, [&]() -> ck_rv_t {
            const abi::CK_RV rv = token.module().createObject(token.contextPointer(), login.get(), token.settings(),
                                                              given.data(), given.size(), &made, &summary);
            if (rv != CKR_OK) return rv;
            *object = recordObject(session, made, summary, kind.tokenObject);
            return CKR_OK;
        });
    });
}

KORVA_HOST_EXPORT ck_rv_t C_CopyObject(ck_session_handle_t handle, ck_object_handle_t, ck_attribute*, unsigned long,
                                       ck_object_handle_t*) {
    return withSession(handle, [](Library&, Session&, Token&) -> ck_rv_t { return CKR_FUNCTION_NOT_SUPPORTED; });
}

KORVA_HOST_EXPORT ck_rv_t C_DestroyObject(ck_session_handle_t handle, ck_object_handle_t object) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        ObjectEntry target;
        if (const ck_rv_t rv = findObject(session, object, Access::Write, target); rv != CKR_OK) return rv;
        if (target.librarySerial != 0) {
            token.libraryObjects().remove(target.librarySerial);
            token.handles().forget(object);
            return CKR_OK;
        }
        LoginRecordCopy login;
        token.fillLogin(login);
        const abi::CK_RV rv =
            token.module().destroyObject(token.context(), login.get(), token.settings(), &target.module);
        if (!target.tokenObject) {
            if (rv != CKR_OK) return CKR_OBJECT_HANDLE_INVALID;
            token.forgetSessionObject(target.module.record);
        }
        if (rv == CKR_OK) {
            token.handles().forget(object);
            token.libraryObjects().forgetCardObject(target.module);
            token.journalCardObjects(false);
        }
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetObjectSize(ck_session_handle_t handle, ck_object_handle_t object, unsigned long* size) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        ObjectEntry target;
        if (const ck_rv_t rv = findObject(session, object, Access::Read, target); rv != CKR_OK) return rv;
        if (size == nullptr) return CKR_ARGUMENTS_BAD;
        if (LibraryObject* kept = token.libraryObjects().find(target.librarySerial)) {
            *size = kept->attributes.valueBytes();
            return CKR_OK;
        }
        abi::CK_ULONG moduleSize = 0;
        const abi::CK_RV rv =
            token.module().getObjectSize(token.context(), nullptr, nullptr, &target.module, &moduleSize);
        if (rv == CKR_OK) *size = moduleSize;
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetAttributeValue(ck_session_handle_t handle, ck_object_handle_t object,
                                              ck_attribute* attributes, unsigned long count) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        ObjectEntry target;
        if (const ck_rv_t rv = findObject(session, object, Access::Read, target); rv != CKR_OK) return rv;
        if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
        LibraryObject* kept = token.libraryObjects().find(target.librarySerial);
        const ck_rv_t rv = kept != nullptr      ? kept->view().fill(attributes, count, std::nullopt)
                           : target.tokenObject ? tokenObjectAttributes(token, target, attributes, count)
                                                : sessionObjectAttributes(token, target.module, attributes, count);
        return hideOtherClasses(target.objectClass, attributes, count, rv);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_SetAttributeValue(ck_session_handle_t handle, ck_object_handle_t object,
                                              ck_attribute* attributes, unsigned long count) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        ObjectEntry target;
        if (const ck_rv_t rv = findObject(session, object, Access::Write, target); rv != CKR_OK) return rv;
        if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
        ModuleTemplate given;
        if (const ck_rv_t rv = given.copyFrom(attributes, count); rv != CKR_OK) return rv;
        if (const ck_rv_t rv = checkChange(target.objectClass, given, attributes, count); rv != CKR_OK) return rv;
        if (LibraryObject* kept = token.libraryObjects().find(target.librarySerial)) return kept->change(given);
        LoginRecordCopy login;
        token.fillLogin(login);
        const abi::CK_RV rv = token.module().setAttributes(token.context(), login.get(), token.settings(),
                                                           &target.module, given.data(), given.size());
        // A data object's value may change: the handle names what it holds now.
        if (rv == CKR_OK && target.onCard() && changesName(target.objectClass, attributes, count)) {
            readIdentity(token, target);
            token.handles().setIdentity(object, target.identity);
        }
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_FindObjectsInit(ck_session_handle_t handle, ck_attribute* attributes, unsigned long count) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (session.finding) return CKR_OPERATION_ACTIVE;
        if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
        session.found.clear();
        session.foundNext = 0;
        const ck_rv_t rv = search(session, token, attributes, count);
        session.finding = rv == CKR_OK;
        if (rv != CKR_OK) session.found.clear();
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_FindObjects(ck_session_handle_t handle, ck_object_handle_t* objects, unsigned long most,
                                        unsigned long* count) {
    return withSessionOnly(handle, [&](Library&, Session& session) -> ck_rv_t {
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        if (objects == nullptr || count == nullptr) return CKR_ARGUMENTS_BAD;
        unsigned long given = 0;
        while (given < most && session.foundNext < session.found.size())
            objects[given++] = session.found[session.foundNext++];
        *count = given;
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_FindObjectsFinal(ck_session_handle_t handle) {
    return withSessionOnly(handle, [&](Library&, Session& session) -> ck_rv_t {
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        session.finding = false;
        session.found.clear();
        session.foundNext = 0;
        return CKR_OK;
    });
}
