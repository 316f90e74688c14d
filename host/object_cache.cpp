#include "host/object_cache.h"

#include "host/card_commands.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace korva::host {
namespace {

// The module walks the directories in this order, then the session objects.
constexpr std::array<uint16_t, 5> kWalkOrder = {KORVA_PRIVATE_KEY_DIRECTORY, KORVA_PUBLIC_KEY_DIRECTORY,
                                                KORVA_SECRET_KEY_DIRECTORY, KORVA_CERTIFICATE_DIRECTORY,
                                                KORVA_DATA_DIRECTORY};
constexpr size_t kNothingCovered = kWalkOrder.size();

std::optional<size_t> walkPosition(uint16_t directory) {
    if (directory == 0) return 0;  // a walk from the start
    const auto* at = std::find(kWalkOrder.begin(), kWalkOrder.end(), directory);
    if (at == kWalkOrder.end()) return std::nullopt;
    return static_cast<size_t>(at - kWalkOrder.begin());
}

bool disabledByEnvironment() {
    const char* setting = std::getenv("KORVA_PKCS11_OBJECT_CACHE");
    return setting != nullptr && std::strcmp(setting, "0") == 0;
}

}  // namespace

bool isSecretPart(unsigned long objectClass, ck_attribute_type_t type) {
    if (objectClass == CKO_SECRET_KEY) return type == CKA_VALUE;
    if (objectClass != CKO_PRIVATE_KEY) return false;
    return type == CKA_VALUE || type == CKA_PRIVATE_EXPONENT || (type >= CKA_PRIME_1 && type <= CKA_COEFFICIENT);
}

CachedObject::CachedObject(const abi::ObjectHandle& handle, uint32_t objectClass, bool isPrivate,
                           const AttributeView& attributes)
    : handle_(handle), objectClass_(objectClass), isPrivate_(isPrivate) {
    const std::span<const abi::CK_ATTRIBUTE> items = attributes.items();
    values_.reserve(items.size());
    items_.reserve(items.size());
    for (const abi::CK_ATTRIBUTE& item : items) {
        if (isSecretPart(objectClass, item.type)) continue;
        abi::CK_ATTRIBUTE copy{item.type, nullptr, item.ulValueLen};
        if (item.pValue != nullptr && item.ulValueLen != 0xFFFFFFFFu) {
            const auto* bytes = static_cast<const uint8_t*>(item.pValue);
            values_.emplace_back(bytes, bytes + item.ulValueLen);
            copy.pValue = values_.back().data();
        }
        items_.push_back(copy);
    }
}

bool CachedObject::answersAll(const ck_attribute* attributes, unsigned long count) const {
    const AttributeView view = this->attributes();
    for (unsigned long i = 0; i < count; ++i) {
        const ck_attribute_type_t type = attributes[i].type;
        if (isSecretPart(objectClass_, type)) return false;
        // A data object is its record and its value, and the walk read both:
        // a type it did not report is not on the card either. (A value it did
        // not report may be a body the card withheld: the card says why.)
        const bool knownAbsent = objectClass_ == CKO_DATA && type != CKA_VALUE;
        if (!view.find(type) && !knownAbsent) return false;
    }
    return true;
}

ObjectCache::ObjectCache()
    : enabled_(!disabledByEnvironment()), coveredFrom_(kNothingCovered), userCoveredFrom_(kNothingCovered) {}

std::optional<ObjectCache::Key> ObjectCache::keyOf(const abi::ObjectHandle& handle) {
    const auto position = walkPosition(static_cast<uint16_t>(handle.directoryHigh << 8 | handle.directoryLow));
    if (!position || handle.record == 0) return std::nullopt;
    return static_cast<Key>(*position << 8 | handle.record);
}

void ObjectCache::clear() {
    counter_.reset();
    unkeyed_ = false;
    unsaved_ = false;
    coveredFrom_ = userCoveredFrom_ = kNothingCovered;
    objects_.clear();
    walking_ = false;
    walked_.clear();
}

bool ObjectCache::revalidate(uint64_t card, std::optional<bool> usedElsewhere, const CounterReader& readCounter) {
    if (card != card_) clear();
    card_ = card;
    if (!enabled_ || (!counter_ && !unkeyed_)) return false;
    if (usedElsewhere == false) {
        // The card is as our previous call left it: what is cached stands.
        if (!unkeyed_) return true;
        unkeyed_ = false;
        counter_ = readCounter();
        if (counter_) return true;
        clear();
        return false;
    }
    if (unkeyed_) {
        clear();  // someone else had the card before we knew its counter
    } else if (const std::optional<uint32_t> now = readCounter(); now == counter_) {
        return true;
    } else {
        clear();
        // What was just read is the counter of the card as it is now: a walk
        // in this call can be kept under it without reading it again.
        counter_ = now;
    }
    return false;
}

bool ObjectCache::covers(uint16_t directory, bool userLoggedIn) const {
    const auto position = walkPosition(directory);
    if (!enabled_ || (!counter_ && !unkeyed_) || !position) return false;
    return (userLoggedIn ? userCoveredFrom_ : coveredFrom_) <= *position;
}

void ObjectCache::forEachFrom(uint16_t directory, const std::function<void(const CachedObject&)>& visit) const {
    const auto position = walkPosition(directory);
    if (!position) return;
    for (auto it = objects_.lower_bound(static_cast<Key>(*position << 8)); it != objects_.end(); ++it)
        visit(it->second);
}

const CachedObject* ObjectCache::find(const abi::ObjectHandle& handle, bool userLoggedIn) const {
    const auto key = keyOf(handle);
    if (!enabled_ || (!counter_ && !unkeyed_) || !key) return nullptr;
    const auto found = objects_.find(*key);
    if (found == objects_.end() || (found->second.isPrivate() && !userLoggedIn)) return nullptr;
    return &found->second;
}

void ObjectCache::startWalk(uint16_t directory, bool userLoggedIn) {
    walked_.clear();
    const auto position = walkPosition(directory);
    walking_ = enabled_ && position.has_value();
    walkFrom_ = position.value_or(kNothingCovered);
    walkWithUser_ = userLoggedIn;
}

void ObjectCache::noteWalked(const abi::ObjectHandle& handle, uint32_t objectClass, bool isPrivate,
                             const AttributeView& attributes) {
    const auto key = keyOf(handle);
    if (!walking_ || !key) return;  // session objects stay with the host's table
    // A private object walked without the user reads without its private
    // values: it is not kept, and the walk covers nothing for the user.
    if (isPrivate && !walkWithUser_) return;
    walked_.try_emplace(*key, handle, objectClass, isPrivate, attributes);
}

void ObjectCache::finishWalk(uint64_t card, bool readerTells, const CounterReader& readCounter) {
    if (!walking_) return;
    walking_ = false;
    std::map<Key, CachedObject> walked = std::move(walked_);
    walked_.clear();
    if (card != card_) clear();
    card_ = card;
    if (!counter_ && !unkeyed_ && readerTells) {
        unkeyed_ = true;
    } else if (!counter_ && !unkeyed_) {
        counter_ = readCounter();
        if (!counter_) return;
    }
    objects_.erase(objects_.lower_bound(static_cast<Key>(walkFrom_ << 8)), objects_.end());
    objects_.merge(walked);
    coveredFrom_ = std::min(coveredFrom_, walkFrom_);
    if (walkWithUser_) userCoveredFrom_ = std::min(userCoveredFrom_, walkFrom_);
    // Only a walk that replaced every object, without the user, holds
    // nothing but what anyone reads from the card.
    unsaved_ = walkFrom_ == 0 && !walkWithUser_;
}

void ObjectCache::noteSerial(uint64_t card, std::optional<std::string> serial) {
    serialCard_ = card;
    serial_ = std::move(serial);
}

std::optional<std::string> ObjectCache::serialOf(uint64_t card) const {
    if (card != serialCard_) return std::nullopt;
    return serial_;
}

std::optional<uint32_t> ObjectCache::takeUnsaved() {
    if (!enabled_ || !unsaved_ || !counter_) return std::nullopt;
    unsaved_ = false;
    return counter_;
}

void ObjectCache::finishAdopting(uint64_t card, uint32_t keptCounter, uint32_t counterNow) {
    if (keptCounter != counterNow) {
        walking_ = false;
        walked_.clear();
        clear();
        card_ = card;
        counter_ = counterNow;
        return;
    }
    finishWalk(card, false, [counterNow] { return std::optional<uint32_t>(counterNow); });
    unsaved_ = false;  // it is what the file holds
}

void ObjectCache::noteCommand(std::span<const uint8_t> command) {
    if (!leavesCardContentAlone(command)) clear();
}

void ObjectCache::forgetPrivate() {
    std::erase_if(objects_, [](const auto& entry) { return entry.second.isPrivate(); });
    userCoveredFrom_ = kNothingCovered;
}

}  // namespace korva::host
