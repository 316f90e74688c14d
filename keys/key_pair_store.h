// The card-side steps both families of key pair share: the directory
// records of the two halves, their container map entry, the counters and
// the outputs for the host.
#pragma once

#include "keys/key_pair_templates.h"

#include "objects/attribute_record.h"
#include "card/card_context.h"
#include "card/write_rollback.h"
#include "session/settings.h"

#include <korva/host_records.h>

#include <cstdint>

namespace korva::keys {

// Record numbers of the pair: the public key's in 50 01, the private key's
// in 50 00.
struct KeyPairRecords {
    uint8_t publicRecord = 0;
    uint8_t privateRecord = 0;
};

// Selects the application subdirectory, runs the login step and finds a
// free record in each key directory (growing them when needed). Nothing is
// reserved on the card until the records are written. No room:
// CKR_DEVICE_MEMORY; no host memory: CKR_HOST_MEMORY; anything else
// CKR_FUNCTION_FAILED.
CK_RV reserveRecords(CardContext& context, const abi::LoginRecord* login, const token::TokenSettings& settings,
                     KeyPairRecords& records) noexcept;

struct EncodedPair {
    objects::DirectoryRecord publicRecord{};
    objects::DirectoryRecord privateRecord{};
};

// The directory records of both lists. More than 255 bytes of attributes:
// CKR_ATTRIBUTE_VALUE_INVALID; a value that cannot be encoded:
// CKR_FUNCTION_FAILED.
CK_RV encodeLists(const KeyPairLists& lists, EncodedPair& encoded) noexcept;

// Writes both records (50 01 and 50 00, from the application subdirectory
// that reserveRecords left current) and the public key's container map
// entry. `defaultSize` files the key as 256 bits rather than by its
// CKA_MODULUS_BITS. Both records are registered
// with `rollback` before they are written: they were free when the call
// began, and are freed again if the pair is not committed.
CK_RV storePair(CardContext& context, const KeyPairLists& lists, const KeyPairRecords& records,
                const EncodedPair& encoded, bool defaultSize, card::WriteRollback& rollback) noexcept;

// A new pair changes the key containers and the files, and adds one public
// and one private key: with the application subdirectory current, the
// counters file 70 FE is read, moved and written back once.
CardResult bumpKeyPairCounters(CardContext& context) noexcept;

// What slot 20 hands back for a new pair.
struct KeyPairOutputs {
    abi::ObjectHandle* publicHandle = nullptr;
    abi::ObjectHandle* privateHandle = nullptr;
    abi::ObjectSummary* publicSummary = nullptr;
    abi::ObjectSummary* privateSummary = nullptr;

    bool complete() const noexcept {
        return publicHandle != nullptr && privateHandle != nullptr && publicSummary != nullptr &&
               privateSummary != nullptr;
    }
};

void reportPair(const KeyPairRecords& records, const PrivateFlags& flags, const KeyPairOutputs& outputs) noexcept;

}  // namespace korva::keys
