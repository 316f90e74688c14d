#include "host/object_identity.h"

#include "host/attribute_types.h"
#include "host/object_search.h"
#include "host/token.h"

#include "common/openssl_error_mark.h"
#include "common/openssl_ptr.h"

#include <stdexcept>

namespace korva::host {
namespace {

// What pairs a key with its other half, as the card pairs them: the card
// key reference of a key the card made, else a non-empty CKA_ID.
std::optional<std::pair<bool, std::vector<uint8_t>>> pairKeyOf(unsigned long objectClass,
                                                               const AttributeView& attributes) {
    if (objectClass != CKO_PRIVATE_KEY && objectClass != CKO_PUBLIC_KEY) return std::nullopt;
    for (const bool byReference : {true, false}) {
        const auto value = attributes.find(byReference ? CKA_VENDOR_KEY_REFERENCE : CKA_ID);
        if (value && !value->empty()) return std::pair(byReference, std::vector<uint8_t>(value->begin(), value->end()));
    }
    return std::nullopt;
}

// The object's identity and what pairs it, read through the module.
std::optional<ObjectIdentity> readOne(Token& token, const abi::ObjectHandle& handle, unsigned long& objectClass,
                                      std::optional<std::pair<bool, std::vector<uint8_t>>>& pairKey) {
    ModuleAttributes object(token.module());
    abi::CK_OBJECT_CLASS readClass = 0;
    uint8_t isPrivate = 0;
    if (token.module().getAllAttributes(token.context(), nullptr, token.settings(), &handle, object.items(),
                                        object.count(), &readClass, &isPrivate) != CKR_OK)
        return std::nullopt;
    objectClass = readClass;
    pairKey = pairKeyOf(readClass, object.view());
    return identityOf(readClass, object.view());
}

}  // namespace

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

void readIdentity(Token& token, ObjectEntry& entry, const abi::ObjectHandle* publicHalf) {
    unsigned long objectClass = 0, halfClass = 0;
    std::optional<std::pair<bool, std::vector<uint8_t>>> pairKey, halfKey;
    entry.identity = readOne(token, entry.module, objectClass, pairKey);
    if (objectClass != CKO_PRIVATE_KEY || !pairKey || publicHalf == nullptr) return;
    const auto half = readOne(token, *publicHalf, halfClass, halfKey);
    if (halfClass == CKO_PUBLIC_KEY && halfKey == pairKey) entry.pairedWith = half;
}

ObjectIdentity PairedIdentities::meet(unsigned long objectClass, const AttributeView& attributes, size_t& index) {
    const ObjectIdentity identity = identityOf(objectClass, attributes);
    auto pairKey = pairKeyOf(objectClass, attributes);
    if (objectClass == CKO_PUBLIC_KEY && pairKey) {
        const auto [at, added] = publicKeys_.try_emplace(*pairKey, identity);
        if (!added) at->second.reset();
    }
    index = met_.size();
    met_.push_back(objectClass == CKO_PRIVATE_KEY ? std::move(pairKey) : std::nullopt);
    return identity;
}

std::optional<ObjectIdentity> PairedIdentities::publicHalf(size_t index) const {
    if (index >= met_.size() || !met_[index]) return std::nullopt;
    const auto found = publicKeys_.find(*met_[index]);
    return found == publicKeys_.end() ? std::nullopt : found->second;
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
    PairedIdentities identities;
    struct Seen {
        abi::ObjectHandle module;
        ObjectIdentity identity;
        size_t index;
    };
    std::vector<Seen> seen;
    const ck_rv_t rv = searchObjects(
        token, &byClass, 1,
        [&](const abi::ObjectHandle& met, uint32_t metClass, bool isPrivate, const AttributeView& attributes) {
            size_t index = 0;
            if (ObjectEntry{met}.onCard() && (!isPrivate || withUser))
                seen.push_back({met, identities.meet(metClass, attributes, index), index});
        });
    if (rv != CKR_OK) return rv;
    for (const Seen& object : seen)
        token.handles().noteSeen(object.module, object.identity, identities.publicHalf(object.index));
    entry = token.handles().find(handle);
    if (entry != nullptr && entry->recheck) {  // its record holds nothing now
        token.handles().forget(handle);
        entry = nullptr;
    }
    return entry == nullptr ? missing : CKR_OK;
}

}  // namespace korva::host
