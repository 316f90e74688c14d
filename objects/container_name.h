// The key-container mirror of public keys and certificates: container names
// derived from a key's CKA_ID, the 86-byte container map entry and the
// 12-byte certificate name map entry.
#pragma once

#include "objects/layout.h"

#include <korva/pkcs11_types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korva::objects {

// Strict UTF-8 to UTF-16 conversion. Overlong forms, UTF-8-encoded
// surrogates, code points above U+10FFFF, stray continuation bytes and
// truncated sequences make it fail; code points above U+FFFF become
// surrogate pairs. An empty input converts to an empty result.
std::optional<std::vector<uint16_t>> utf8ToUtf16(std::span<const uint8_t> utf8);

using ContainerName = std::array<uint8_t, container_map::kNameSize>;

// The name of the container of a key whose CKA_ID is `id`: the UTF-16LE
// form of the identifier, zero-padded to 80 bytes (so at most 39 units plus
// a terminating zero). An empty identifier, one that is not valid UTF-8 or
// one that needs 40 units or more is named "BROKENID" instead, so that other
// software reading the map always finds a terminated name.
ContainerName containerNameFor(std::span<const uint8_t> id);

struct ContainerMapEntry {
    ContainerName name{};
    uint8_t flags = 0;
    uint8_t reserved = 0;
    uint16_t signatureKeyBits = 0;
    uint16_t exchangeKeyBits = 0;

    bool isFree() const;  // all 86 bytes zero
    bool operator==(const ContainerMapEntry&) const = default;
};

std::array<uint8_t, container_map::kEntrySize> encodeContainerMapEntry(const ContainerMapEntry& entry);
// `bytes` must hold at least 86 bytes; returns nullopt otherwise.
std::optional<ContainerMapEntry> decodeContainerMapEntry(std::span<const uint8_t> bytes);

// A valid container entry for a key: `keyBits` goes to the key-exchange size
// when the key may encrypt, else to the signature size.
ContainerMapEntry makeContainerMapEntry(const ContainerName& name, uint16_t keyBits, bool exchangeKey);

// The container map entry of a public key created from `tmpl`: named after
// its CKA_ID, valid, sized by its CKA_MODULUS_BITS (4 bytes; unless
// `defaultSize` asks for the default 256 whatever the template says), the
// size filed as a key-exchange key unless CKA_ENCRYPT (1 byte) is false.
// Returns nullopt when the template gives a non-empty CKA_ID without a value.
std::optional<ContainerMapEntry> buildContainerMapEntry(std::span<const abi::CK_ATTRIBUTE> tmpl, bool defaultSize);

// The container name for the CKA_ID of `tmpl` (first entry of the type); an
// absent one or one of length 0xFFFFFFFF names "BROKENID". Returns nullopt
// for a non-empty CKA_ID without a value.
std::optional<ContainerName> containerNameForTemplate(std::span<const abi::CK_ATTRIBUTE> tmpl);

struct NameMapEntry {
    uint16_t fileId = 0;  // 0 = free entry
    uint8_t type = 0;
    uint8_t attribute = 0;
    std::array<uint8_t, name_map::kNameSize> name{};

    bool operator==(const NameMapEntry&) const = default;
};

std::array<uint8_t, name_map::kEntrySize> encodeNameMapEntry(const NameMapEntry& entry);
// `bytes` must hold at least 12 bytes; returns nullopt otherwise.
std::optional<NameMapEntry> decodeNameMapEntry(std::span<const uint8_t> bytes);

// "ksc" (signature key) or "kxc" (key-exchange key) followed by the
// container index as two lowercase hex digits, zero-padded to 8 bytes.
std::array<uint8_t, name_map::kNameSize> certificateFileName(bool exchangeKey, uint8_t containerIndex);

// The name map entry of a certificate held in body file `fileId`.
NameMapEntry makeCertificateNameEntry(uint16_t fileId, bool exchangeKey, uint8_t containerIndex);

// Index of the first of the 21 entries in `mapBytes` (the file's first 252
// bytes, or fewer) whose identifier is `fileId`; 0 finds a free entry.
std::optional<std::size_t> findNameMapEntry(std::span<const uint8_t> mapBytes, uint16_t fileId);

}  // namespace korva::objects
