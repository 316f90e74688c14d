#include "host/session_objects.h"

#include "host/attribute_types.h"

#include <algorithm>

namespace korva::host {
namespace {

// The attribute a class cannot do without.
std::optional<ck_attribute_type_t> requiredOf(unsigned long objectClass) {
    if (objectClass == CKO_CERTIFICATE) return CKA_CERTIFICATE_TYPE;
    if (objectClass == CKO_PUBLIC_KEY) return CKA_KEY_TYPE;
    return std::nullopt;
}

// What an application may leave out of the template.
void addDefaults(ModuleTemplate& given, unsigned long objectClass) {
    given.addIfAbsent(CKA_TOKEN, false);
    given.addIfAbsent(CKA_PRIVATE, false);
    given.addIfAbsent(CKA_MODIFIABLE, true);
    given.addIfAbsent(CKA_COPYABLE, true);
    given.addIfAbsent(CKA_DESTROYABLE, true);
    given.addIfAbsent(CKA_LABEL, std::span<const uint8_t>());
    if (objectClass == CKO_DATA) {
        given.addIfAbsent(CKA_APPLICATION, std::span<const uint8_t>());
        given.addIfAbsent(CKA_VALUE, std::span<const uint8_t>());
    }
    if (objectClass == CKO_CERTIFICATE) {
        given.addIfAbsent(CKA_TRUSTED, false);
        given.addIfAbsent(CKA_CERTIFICATE_CATEGORY, abi::CK_ULONG{0});
    }
    if (objectClass == CKO_PUBLIC_KEY || objectClass == CKO_CERTIFICATE)
        given.addIfAbsent(CKA_ID, std::span<const uint8_t>());
    if (objectClass == CKO_PUBLIC_KEY) {
        for (const ck_attribute_type_t use :
             {CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP, CKA_DERIVE, CKA_LOCAL})
            given.addIfAbsent(use, false);
    }
}

}  // namespace

ck_rv_t LibraryObject::change(const ModuleTemplate& changes) {
    if (!attributes.boolean(CKA_MODIFIABLE).value_or(true)) return CKR_ATTRIBUTE_READ_ONLY;
    for (const ck_attribute_type_t fixed :
         {CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_CERTIFICATE_TYPE, CKA_KEY_TYPE})
        if (changes.number(fixed) || changes.boolean(fixed)) return CKR_ATTRIBUTE_READ_ONLY;
    attributes.merge(changes);
    return CKR_OK;
}

bool SessionObjectStore::keepsHere(const ModuleTemplate& given) {
    const auto objectClass = given.number(CKA_CLASS);
    const bool keptClass = objectClass == CKO_DATA || objectClass == CKO_CERTIFICATE || objectClass == CKO_PUBLIC_KEY;
    return keptClass && !given.boolean(CKA_TOKEN).value_or(false);
}

ck_rv_t SessionObjectStore::add(ck_session_handle_t owner, ModuleTemplate given, uint32_t& serial) {
    const unsigned long objectClass = given.number(CKA_CLASS).value_or(CKO_DATA);
    for (abi::CK_ULONG i = 0; i < given.size(); ++i)
        if (!classHas(objectClass, given.data()[i].type)) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (const auto required = requiredOf(objectClass); required && !given.number(*required))
        return CKR_TEMPLATE_INCOMPLETE;
    addDefaults(given, objectClass);
    serial = ++lastSerial_;
    LibraryObject& object = objects_[serial];
    object.owner = owner;
    object.objectClass = objectClass;
    object.isPrivate = given.boolean(CKA_PRIVATE).value_or(false);
    object.attributes = std::move(given);
    return CKR_OK;
}

LibraryObject* SessionObjectStore::find(uint32_t serial) {
    const auto found = objects_.find(serial);
    return found == objects_.end() ? nullptr : &found->second;
}

std::vector<uint32_t> SessionObjectStore::takeObjectsOf(ck_session_handle_t owner) {
    std::vector<uint32_t> taken;
    std::erase_if(objects_, [&](const auto& item) {
        if (item.second.owner != owner) return false;
        taken.push_back(item.first);
        return true;
    });
    return taken;
}

namespace {
bool sameHandle(const abi::ObjectHandle& a, const abi::ObjectHandle& b) {
    return a.record == b.record && a.directoryHigh == b.directoryHigh && a.directoryLow == b.directoryLow;
}
}  // namespace

void SessionObjectStore::ownCardObject(const abi::ObjectHandle& handle, ck_session_handle_t owner) {
    cardObjects_.emplace_back(handle, owner);
}

void SessionObjectStore::forgetCardObject(const abi::ObjectHandle& handle) {
    std::erase_if(cardObjects_, [&](const auto& item) { return sameHandle(item.first, handle); });
}

std::vector<abi::ObjectHandle> SessionObjectStore::takeCardObjectsOf(std::optional<ck_session_handle_t> owner) {
    std::vector<abi::ObjectHandle> taken;
    std::erase_if(cardObjects_, [&](const auto& item) {
        if (owner && item.second != *owner) return false;
        taken.push_back(item.first);
        return true;
    });
    // Newest first: a private key goes before the public key whose files it shares.
    std::reverse(taken.begin(), taken.end());
    return taken;
}

std::vector<abi::ObjectHandle> SessionObjectStore::cardObjects() const {
    std::vector<abi::ObjectHandle> handles;
    for (const auto& item : cardObjects_) handles.push_back(item.first);
    return handles;
}

}  // namespace korva::host
