#include "host/object_identity.h"

#include "host/attribute_types.h"
#include "host/object_search.h"
#include "host/token.h"

#include "common/openssl_error_mark.h"
#include "common/openssl_ptr.h"

#include <stdexcept>

namespace korva::host {

ObjectIdentity identityOf(unsigned long objectClass, const AttributeView& attributes) {
    const OpenSslErrorMark mark;
    const EvpMdCtxPtr context(EVP_MD_CTX_new());
    bool digested = context != nullptr && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    const auto add = [&](const void* bytes, size_t size) {
        digested = digested && EVP_DigestUpdate(context.get(), bytes, size) == 1;
    };
    const auto classNumber = static_cast<uint32_t>(objectClass);
    add(&classNumber, sizeof classNumber);
    for (const ck_attribute_type_t type : namingAttributes(objectClass)) {
        // Each type with whether the object has it and its length: no two
        // lists of values run together into the same bytes.
        const auto value = attributes.find(type);
        const uint32_t header[3] = {static_cast<uint32_t>(type), value ? 1u : 0u,
                                    value ? static_cast<uint32_t>(value->size()) : 0u};
        add(header, sizeof header);
        if (value && !value->empty()) add(value->data(), value->size());
    }
    ObjectIdentity identity{};
    unsigned int length = 0;
    digested = digested && EVP_DigestFinal_ex(context.get(), identity.data(), &length) == 1;
    if (!digested || length != identity.size()) throw std::runtime_error("object identity digest failed");
    return identity;
}

std::optional<ObjectIdentity> readIdentity(Token& token, const abi::ObjectHandle& handle) {
    ModuleAttributes object(token.module());
    abi::CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    if (token.module().getAllAttributes(token.context(), nullptr, token.settings(), &handle, object.items(),
                                        object.count(), &objectClass, &isPrivate) != CKR_OK)
        return std::nullopt;
    return identityOf(objectClass, object.view());
}

void noticeChangesElsewhere(Token& token) {
    HandleTable& handles = token.handles();
    if (handles.counterToRead()) handles.noteCounter(readChangeCounter(token));
}

void noteOwnChanges(Token& token) {
    if (token.handles().wroteWithHandlesOut()) noticeChangesElsewhere(token);
}

ck_rv_t confirmHandle(Token& token, ck_object_handle_t handle, ck_rv_t missing) {
    noticeChangesElsewhere(token);
    const ObjectEntry* entry = token.handles().find(handle);
    if (entry == nullptr) return missing;
    if (!entry->recheck) return CKR_OK;
    // Read again as a search reads: from the cache while it is current, else
    // by a walk, which presents the user's PIN and so reads private objects
    // whole, as when the handle was given. Every handle met is settled.
    unsigned long objectClass = entry->objectClass;
    ck_attribute byClass{CKA_CLASS, &objectClass, sizeof objectClass};
    const bool withUser = token.user() == CKU_USER;
    const ck_rv_t rv = searchObjects(
        token, &byClass, 1,
        [&](const abi::ObjectHandle& met, uint32_t metClass, bool isPrivate, const AttributeView& attributes) {
            if (!isPrivate || withUser) token.handles().noteSeen(met, identityOf(metClass, attributes));
        });
    if (rv != CKR_OK) return rv;
    entry = token.handles().find(handle);
    if (entry != nullptr && entry->recheck) {  // its record holds nothing now
        token.handles().forget(handle);
        entry = nullptr;
    }
    return entry == nullptr ? missing : CKR_OK;
}

}  // namespace korva::host
