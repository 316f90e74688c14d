// The token's objects as a search and the attribute reads meet them: from
// the object cache while the card's change counter stands still, else from
// the card (and the walk fills the cache).
#pragma once

#include "host/attributes.h"
#include "host/pkcs11_api.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace korva::host {

class Token;

// One object a search meets: the module's handle, its class, whether it is
// private, its attributes (secret parts left out when they come from the cache).
using ObjectVisitor = std::function<void(const abi::ObjectHandle& handle, uint32_t objectClass, bool isPrivate,
                                         const AttributeView& attributes)>;

// The card's object-set change counter: every creation, change and
// destruction moves it, by whoever makes it. Nothing when it cannot be read.
std::optional<uint32_t> readChangeCounter(Token& token);

// Meets the objects a search with the template may return: every token
// object of the directories the module's walk covers for it, then the
// session objects. The caller applies the login rule and the template.
ck_rv_t searchObjects(Token& token, const ck_attribute* attributes, unsigned long count, const ObjectVisitor& visit);

// The template's attributes of a token object from the cache; nothing when
// the card must be asked (an attribute not cached, a secret part, a cache
// that is not current).
std::optional<ck_rv_t> cachedAttributes(Token& token, const abi::ObjectHandle& handle, ck_attribute* attributes,
                                        unsigned long count);

}  // namespace korva::host
