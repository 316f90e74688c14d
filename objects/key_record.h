// The directory record of a key that a card operation is about to use:
// read from its class's directory file, then judged before any attribute
// in it is trusted. Signing, verification and the cipher operations all
// start from it.
#pragma once

#include "objects/attribute_record.h"
#include "objects/layout.h"

#include "card/card_context.h"

#include <korva/pkcs11_constants.h>

#include <cstdint>
#include <span>

namespace korva::objects {

struct KeyRecord {
    DirectoryRecord bytes{};  // zeros past `length`
    uint32_t length = 0;      // bytes the card sent
    std::span<const uint8_t> view() const noexcept { return {bytes.data(), length}; }
};

enum class KeyRecordRead : uint8_t {
    kOk,
    kFree,    // the record holds no object
    kFailed,  // selection or read failed, or the record is too short to hold an entry
};

// With the folder that holds directory `directoryId` current: selects the
// directory file and reads record `number` with readDirectoryRecord. A
// record of four bytes or fewer cannot hold an entry: free when its type
// bytes are zero, else failed.
KeyRecordRead readKeyRecord(CardContext& context, uint16_t directoryId, uint8_t number,
                            KeyRecord& record) noexcept;

// What a key operation answers for each: a free record is a handle that names
// nothing, a read that failed is a failure.
constexpr abi::CK_RV keyRecordReadToRv(KeyRecordRead read) noexcept {
    switch (read) {
        case KeyRecordRead::kOk: return abi::CKR_OK;
        case KeyRecordRead::kFree: return abi::CKR_OBJECT_HANDLE_INVALID;
        default: return abi::CKR_FUNCTION_FAILED;
    }
}

enum class NumberLookup : uint8_t { kFound, kAbsent, kMalformed };

// A 4-byte big-endian number attribute (CKA_KEY_TYPE, CKA_MODULUS_BITS):
// absent, or malformed when the record is or the value is shorter than four
// bytes.
NumberLookup findNumberInRecord(std::span<const uint8_t> record, uint32_t type, uint32_t& value) noexcept;

}  // namespace korva::objects
