// CREATE FILE with the module's fixed FCP templates. Each builder fills in
// the caller's values and sends the template in the current directory; the
// new file (or directory) becomes the current one.
//
// Every builder returns kOk, kMemory (6A 84: the card has no room),
// kSecurity (69 82), kUnexpected or kBadArgumentOrTransport.
#pragma once

#include "card/card_context.h"

#include <cstdint>

namespace korva::card {

// Numbered data file under 05 1E: transparent, access FF FF 05 00 00 FF.
CardResult createNumberedDataFile(CardContext& context, uint16_t fileId, uint16_t size) noexcept;

// Container map 70 FD: transparent, access FF FF 12 00 00 FF.
CardResult createContainerMapFile(CardContext& context, uint16_t size) noexcept;

// The two access profiles of object bodies: the first byte of the
// security attributes after FF FF, followed by the caller's q1 and q2.
enum class TransparentProfile : uint8_t {
    kFirst = 0x00,   // certificate bodies
    kSecond = 0x12,  // data bodies, secret-key bodies, RSA private exponents
};
CardResult createTransparentFile(CardContext& context, uint16_t fileId, uint16_t size, TransparentProfile profile,
                                 uint8_t q1, uint8_t q2) noexcept;

// Linear fixed file of `recordCount` records of 255 bytes. The open variant
// (certificate directory of the certificate subdirectory) writes 00 in place
// of the three 12 access bytes.
CardResult createRecordFile(CardContext& context, uint16_t fileId, uint8_t recordCount, bool open) noexcept;

// The application subdirectory 7F 01 (life cycle 03 until activated).
CardResult createApplicationSubdirectory(CardContext& context) noexcept;

// A key file's descriptor byte in its FCI, and the kind byte 85 of an RSA
// and of a GOST R 34.10 key file.
inline constexpr uint8_t kKeyFileDescriptor = 0x11;
inline constexpr uint8_t kRsaKeyFileKind = 0x22;
inline constexpr uint8_t kGostKeyFileKind = 0x21;

// Key file, first form (kind byte 85, key reference, 8E value, flag 8B).
struct KeyFileFirstForm {
    uint8_t k85;
    uint8_t keyReference;
    uint8_t k8E;
    uint8_t flag;
};
CardResult createKeyFile(CardContext& context, uint16_t fileId, const KeyFileFirstForm& values) noexcept;

// Key file, second form (kind byte 85, key reference, 8F value).
struct KeyFileSecondForm {
    uint8_t k85;
    uint8_t keyReference;
    uint8_t k8F;
};
CardResult createKeyFile(CardContext& context, uint16_t fileId, const KeyFileSecondForm& values) noexcept;

// The PIN-type object 00 03 holding the credential with reference 09; `k89`
// is its tag-89 value.
CardResult createPinObject(CardContext& context, uint8_t k89) noexcept;

}  // namespace korva::card
