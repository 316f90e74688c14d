#include "host/object_search.h"

#include "host/object_cache.h"
#include "host/object_cache_file.h"
#include "host/token.h"

namespace korva::host {
namespace {

// The module ends an object walk with this value, not an error.
constexpr abi::CK_RV kEndOfWalk = 8;
// Five directories of at most 255 records, then 255 session objects.
constexpr int kLongestWalk = 6 * 255;

uint16_t directoryOf(const abi::FindCursor& cursor) {
    return static_cast<uint16_t>(cursor.directoryHigh << 8 | cursor.directoryLow);
}

ObjectCache::CounterReader counterOf(Token& token) {
    return [&token] { return readChangeCounter(token); };
}

bool userLoggedIn(const Token& token) { return token.user() == CKU_USER; }

// The card's serial as the token reported it in this process, else as the
// reader knows it without asking the card; nothing when neither.
std::optional<std::string> keptObjectsSerial(Token& token) {
    if (auto serial = token.objectCache().serialOf(token.cardIdentity())) return serial;
    if (const auto identity = token.reader().knownCardIdentity()) return serialOfIdentity(*identity);
    return std::nullopt;
}

// Hands a finished walk to the user's other processes once its counter is known.
void keepForOtherProcesses(Token& token) {
    ObjectCache& cache = token.objectCache();
    const auto serial = keptObjectsSerial(token);
    if (!serial) return;
    if (const auto counter = cache.takeUnsaved()) saveObjectCache(cache, *serial, *counter);
}

bool cacheIsCurrent(Token& token) {
    ObjectCache& cache = token.objectCache();
    if (cache.revalidate(token.cardIdentity(), token.takeUsedElsewhereForCache(), counterOf(token))) {
        keepForOtherProcesses(token);
        return true;
    }
    // Nothing cached yet: what another process kept, if the counter agrees.
    const auto serial = cache.empty() ? keptObjectsSerial(token) : std::nullopt;
    return serial && loadObjectCache(cache, token.cardIdentity(), *serial, counterOf(token));
}

// A search compares no template with a value that must not leave the
// token (that would let anyone test guesses of it), from the card or not.
void visitWithoutSecrets(const abi::ObjectHandle& handle, uint32_t objectClass, bool isPrivate,
                         const AttributeView& attributes, const ObjectVisitor& visit) {
    const CachedObject shown(handle, objectClass, isPrivate, attributes);
    visit(handle, objectClass, isPrivate, shown.attributes());
}

// Session objects live in the host's table: the module reads them there
// without the card.
void visitSessionObjects(Token& token, const ObjectVisitor& visit) {
    const auto* table = static_cast<const abi::HostSessionTable*>(token.context().cookie);
    if (table == nullptr || table->begin == nullptr) return;
    const size_t count = static_cast<size_t>(table->end - table->begin);
    for (size_t index = 1; index <= count && index <= 0xFF; ++index) {
        const abi::ObjectHandle handle{static_cast<uint8_t>(index), 0xFF, 0xFF};
        ModuleAttributes object(token.module());
        abi::CK_OBJECT_CLASS objectClass = 0;
        uint8_t isPrivate = 0;
        if (token.module().getAllAttributes(token.context(), nullptr, token.settings(), &handle, object.items(),
                                            object.count(), &objectClass, &isPrivate) == CKR_OK)
            visitWithoutSecrets(handle, objectClass, isPrivate != 0, object.view(), visit);
    }
}

// Walks the token from the cursor's directory, noting every token object in
// the cache.
ck_rv_t walk(Token& token, abi::FindCursor& cursor, const ObjectVisitor& visit) {
    ObjectCache& cache = token.objectCache();
    cache.startWalk(directoryOf(cursor), userLoggedIn(token));
    LoginRecordCopy login;
    token.fillLogin(login);
    for (int step = 0; step < kLongestWalk; ++step) {
        ModuleAttributes object(token.module());
        abi::ObjectHandle handle{};
        abi::CK_OBJECT_CLASS objectClass = 0;
        uint8_t isPrivate = 0;
        const abi::CK_RV rv =
            token.module().findNextObjectAttributes(token.context(), login.get(), token.settings(), &cursor,
                                                    object.items(), object.count(), &handle, &objectClass, &isPrivate);
        if (rv == kEndOfWalk) {
            const bool readerTells = token.reader().usedElsewhereSinceLastCall().has_value();
            cache.finishWalk(token.cardIdentity(), readerTells, counterOf(token));
            keepForOtherProcesses(token);
            return CKR_OK;
        }
        if (rv != CKR_OK) return rv;
        cache.noteWalked(handle, objectClass, isPrivate != 0, object.view());
        visitWithoutSecrets(handle, objectClass, isPrivate != 0, object.view(), visit);
    }
    return CKR_OK;
}

}  // namespace

std::optional<uint32_t> readChangeCounter(Token& token) {
    if (const auto known = token.counterOfCall()) return known;
    abi::CK_ULONG counter = 0;
    if (token.module().getChangeCounter(token.context(), nullptr, nullptr, &counter) != CKR_OK) return std::nullopt;
    token.noteCounterOfCall(counter);
    return counter;
}

ck_rv_t searchObjects(Token& token, const ck_attribute* attributes, unsigned long count, const ObjectVisitor& visit) {
    ModuleTemplate given;
    if (const ck_rv_t rv = given.copyFrom(attributes, count); rv != CKR_OK) return rv;
    abi::FindCursor cursor{};
    const abi::CK_RV started =
        token.module().findObjectsInit(token.context(), nullptr, given.data(), given.size(), &cursor);
    if (started == CKR_ATTRIBUTE_VALUE_INVALID) return CKR_OK;  // a class the token never holds
    if (started != CKR_OK) return started;
    ObjectCache& cache = token.objectCache();
    const uint16_t directory = directoryOf(cursor);
    // Checked before the walk too: what a walk keeps must join a cache that is current.
    if (cacheIsCurrent(token) && cache.covers(directory, userLoggedIn(token))) {
        cache.forEachFrom(directory, [&](const CachedObject& object) {
            visit(object.handle(), object.objectClass(), object.isPrivate(), object.attributes());
        });
        visitSessionObjects(token, visit);
        return CKR_OK;
    }
    return walk(token, cursor, visit);
}

std::optional<ck_rv_t> cachedAttributes(Token& token, const abi::ObjectHandle& handle, ck_attribute* attributes,
                                        unsigned long count) {
    ObjectCache& cache = token.objectCache();
    const auto answers = [&]() -> const CachedObject* {
        const CachedObject* object = cache.find(handle, userLoggedIn(token));
        return object != nullptr && object->answersAll(attributes, count) ? object : nullptr;
    };
    // The counter is read only when the cache would answer.
    if (answers() == nullptr || !cacheIsCurrent(token)) return std::nullopt;
    const CachedObject* object = answers();
    if (object == nullptr) return std::nullopt;
    return object->attributes().fill(attributes, count, std::nullopt);
}

}  // namespace korva::host
