// The checks a key named by the host must pass before wrapping, unwrapping
// or key agreement use it: the directory its handle names, its record, its
// usage flag and its key type.
#pragma once

#include "objects/key_record.h"

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>

namespace korva::keys {

struct KeyDemand {
    uint16_t directory;                  // the handle must name this directory
    uint32_t usage;                      // CKA_WRAP, CKA_UNWRAP, CKA_EXTRACTABLE, CKA_DERIVE
    bool usageWhenAbsent;                // what a record without the flag allows
    std::span<const uint32_t> keyTypes;  // the key types the operation takes
};

// A handle of another directory (a session object too) is
// CKR_KEY_HANDLE_INVALID, before the card is touched. Then, with the
// application subdirectory current, the record is read: a card failure or a record
// too short to hold an entry is CKR_FUNCTION_FAILED, a free record
// CKR_OBJECT_HANDLE_INVALID, a record without a readable CKA_KEY_TYPE
// CKR_FUNCTION_FAILED; a usage flag that forbids (objects::keyUsage, with
// the demand's default) or a key type the operation does not take is
// CKR_KEY_FUNCTION_NOT_PERMITTED.
abi::CK_RV loadDemandedKey(CardContext& context, const abi::ObjectHandle& handle, const KeyDemand& demand,
                           objects::KeyRecord& record) noexcept;

// The same after selecting the application subdirectory (once the handle
// has passed).
abi::CK_RV selectAndLoadDemandedKey(CardContext& context, const abi::ObjectHandle& handle, const KeyDemand& demand,
                                    objects::KeyRecord& record) noexcept;

}  // namespace korva::keys
