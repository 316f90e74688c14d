// The container map 70 FD of the certificate subdirectory: one 86-byte
// entry per public-key record (entry k for record k + 1), naming the key's
// container after its CKA_ID, for other software that reads the card.
#pragma once

#include "objects/room.h"

#include "card/card_context.h"

#include <korva/pkcs11_types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva::objects {

// With 70 FD selected (and the free memory of its folder in
// context.fci.keyReference): makes the file at least `size` bytes by
// reading it, deleting it and creating it larger with the old content in
// front. kDone (already large enough, or grown), kNoRoom (the file was
// recreated at its old size with its content), kHostMemory, or kFailed.
RoomOutcome growContainerMap(CardContext& context, std::size_t size) noexcept;

// Writes the entry of public-key record k + 1 from the template of its
// creation: named after its CKA_ID, sized by CKA_MODULUS_BITS unless
// `defaultSize`. Selects the certificate subdirectory and returns to the
// application subdirectory.
CardResult writeContainerMapEntry(CardContext& context, std::span<const abi::CK_ATTRIBUTE> tmpl, std::size_t k,
                                  bool defaultSize) noexcept;

// After an attribute update: rewrites only the name of entry k from the
// template's CKA_ID; a template without CKA_ID changes nothing.
CardResult renameContainerMapEntry(CardContext& context, std::span<const abi::CK_ATTRIBUTE> tmpl,
                                   std::size_t k) noexcept;

// After a destruction: entry k becomes 86 zero bytes (a free entry).
CardResult clearContainerMapEntry(CardContext& context, std::size_t k) noexcept;

}  // namespace korva::objects
