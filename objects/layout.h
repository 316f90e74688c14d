// Where the token keeps its objects: the per-class directory files, the body
// files numbered after their records, the handle the host uses to name an
// object, the counters file and the two files that mirror keys and
// certificates in a key-container layout.
//
// Everything here is data and arithmetic on bytes; nothing talks to the card.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korva::objects {

// ---------------------------------------------------------------------------
// Paths and fixed file identifiers (big-endian, selected from the master file)

inline constexpr std::array<uint8_t, 4> kApplicationPath = {0xA1, 0xBC, 0x7F, 0x01};
inline constexpr std::array<uint8_t, 6> kCertificatePath = {0xA1, 0xBC, 0x7F, 0x01, 0x70, 0x01};
inline constexpr std::array<uint8_t, 2> kKeyDirectoryPath = {0x05, 0x1F};

inline constexpr uint16_t kCertificateSubdirectoryId = 0x7001;
inline constexpr uint16_t kCountersFileId = 0x70FE;      // application subdirectory
inline constexpr uint16_t kContainerMapFileId = 0x70FD;  // certificate subdirectory
inline constexpr uint16_t kNameMapFileId = 0x7000;       // certificate subdirectory

// A card key object in the key directory: F0 rr for key reference rr.
constexpr uint16_t cardKeyFileId(uint8_t keyReference) { return uint16_t(0xF000 | keyReference); }

// The transparent file holding an RSA private exponent sits next to the key
// pair's key object: 61 nn with this bit set (E1 nn).
inline constexpr uint16_t kPrivateExponentFileBit = 0x8000;

// Card key references of keys kept in body files: a secret key's key object
// at 63 nn uses 0x50 + n, an RSA key pair's object at 61 nn uses 0x60 + n.
inline constexpr uint8_t kSecretKeyReferenceBase = 0x50;
inline constexpr uint8_t kKeyPairReferenceBase = 0x60;

// ---------------------------------------------------------------------------
// Object classes and their directory files

inline constexpr std::size_t kRecordSize = 255;  // every directory record

enum class ObjectClass : uint32_t {
    Data = 0,
    Certificate = 1,
    PublicKey = 2,
    PrivateKey = 3,
    SecretKey = 4,
};

struct ClassLayout {
    ObjectClass objectClass;
    uint16_t directoryId;
    // High byte of the body file of record n (body = prefix << 8 | n). A
    // private key has no body of its own: it shares the key pair's files,
    // numbered after the matching public key's record (see kKeyPairBodyPrefix).
    uint8_t bodyPrefix;
    uint16_t maxRecords;
    // Byte of the 17-byte token settings holding the directory's growth step.
    uint8_t growthSettingsByte;
    // Byte of the counters file holding the number of objects of the class.
    uint8_t countsByte;
};

inline constexpr uint8_t kKeyPairBodyPrefix = 0x61;

inline constexpr std::array<ClassLayout, 5> kClassLayouts = {{
    {ObjectClass::Data, KORVA_DATA_DIRECTORY, 0x67, 254, 6, 9},
    {ObjectClass::Certificate, KORVA_CERTIFICATE_DIRECTORY, 0x64, 254, 8, 10},
    {ObjectClass::PublicKey, KORVA_PUBLIC_KEY_DIRECTORY, 0x61, 15, 10, 12},
    {ObjectClass::PrivateKey, KORVA_PRIVATE_KEY_DIRECTORY, 0x00, 15, 12, 13},
    {ObjectClass::SecretKey, KORVA_SECRET_KEY_DIRECTORY, 0x63, 15, 14, 11},
}};

// The order in which a search walks the directories; session objects follow.
inline constexpr std::array<uint16_t, 5> kWalkOrder = {KORVA_PRIVATE_KEY_DIRECTORY, KORVA_PUBLIC_KEY_DIRECTORY,
                                                       KORVA_SECRET_KEY_DIRECTORY, KORVA_CERTIFICATE_DIRECTORY,
                                                       KORVA_DATA_DIRECTORY};

constexpr const ClassLayout* layoutForClass(uint32_t classNumber) {
    for (const ClassLayout& layout : kClassLayouts)
        if (uint32_t(layout.objectClass) == classNumber) return &layout;
    return nullptr;
}

// The directory file of a class.
constexpr uint16_t directoryOf(ObjectClass objectClass) { return layoutForClass(uint32_t(objectClass))->directoryId; }

// Any identifier that is not one of the five directories maps to no class.
constexpr const ClassLayout* layoutForDirectory(uint16_t directoryId) {
    for (const ClassLayout& layout : kClassLayouts)
        if (layout.directoryId == directoryId) return &layout;
    return nullptr;
}

// Body file of record n of a class that has bodies of its own; for a private
// key pass the public key's record number and kKeyPairBodyPrefix instead.
constexpr uint16_t bodyFileId(uint8_t bodyPrefix, uint8_t recordNumber) {
    return uint16_t(bodyPrefix << 8 | recordNumber);
}

// ---------------------------------------------------------------------------
// Object handles: record number, then the directory id high byte first; a
// session object is its 1-based table index followed by FF FF.

inline constexpr uint16_t kSessionDirectory = KORVA_SESSION_DIRECTORY;

constexpr abi::ObjectHandle makeHandle(uint8_t record, uint16_t directory) {
    return {record, uint8_t(directory >> 8), uint8_t(directory)};
}
constexpr abi::ObjectHandle sessionHandle(uint8_t index) { return makeHandle(index, kSessionDirectory); }
constexpr uint16_t handleDirectory(const abi::ObjectHandle& handle) {
    return uint16_t(handle.directoryHigh << 8 | handle.directoryLow);
}
constexpr bool isSessionHandle(const abi::ObjectHandle& handle) { return handleDirectory(handle) == kSessionDirectory; }

// ---------------------------------------------------------------------------
// Counters file 70 FE: the object store reads and writes its first 14 bytes
// (byte 14, the must-change-PIN flag, belongs to the PIN code).

namespace counters {
inline constexpr std::size_t kLength = 14;
inline constexpr std::size_t kFormat = 0;  // never changed here
inline constexpr std::size_t kPinChanges = 1;
inline constexpr std::size_t kKeyContainerChanges = 2;  // 16-bit, low byte first
inline constexpr std::size_t kFileChanges = 4;          // 16-bit, low byte first
inline constexpr std::size_t kStoreChanges = 6;         // 16-bit, low byte first
inline constexpr std::size_t kCountsValid = 8;
inline constexpr std::size_t kFirstCount = 9;  // bytes 9..13: class counts
inline constexpr std::size_t kMustChangePin = 14;

inline uint16_t readCounter(std::span<const uint8_t> bytes, std::size_t offset) {
    return uint16_t(bytes[offset] | bytes[offset + 1] << 8);
}
inline void incrementCounter(std::span<uint8_t> bytes, std::size_t offset) {
    const uint16_t next = uint16_t(readCounter(bytes, offset) + 1);  // wraps modulo 2^16
    bytes[offset] = uint8_t(next);
    bytes[offset + 1] = uint8_t(next >> 8);
}

// The bookkeeping after a change of the object set: a change of the key
// containers and/or of the files advances their counters; the store's change
// counter advances on every change, a new data object or secret key
// included, because hosts keep what they read of the object set for as long
// as that counter stands still (the two other counters only follow what
// other software on the card mirrors: keys and certificates). The class
// count moves by `delta` (1, or 0xFF to go down) modulo 256. Returns false
// when `bytes` is shorter than kLength or the class is unknown; the bytes
// are then untouched.
// Moves a class count by `delta` (1, or 0xFF to go down) modulo 256 without
// touching the change counters: the second half of a key pair, whose pair is
// one change of the object set.
inline bool countClass(std::span<uint8_t> bytes, uint32_t classNumber, uint8_t delta) {
    const ClassLayout* layout = layoutForClass(classNumber);
    if (bytes.size() < kLength || layout == nullptr) return false;
    bytes[layout->countsByte] = uint8_t(bytes[layout->countsByte] + delta);
    return true;
}

inline bool applyChange(std::span<uint8_t> bytes, bool keyContainers, bool files, uint32_t classNumber, uint8_t delta) {
    if (!countClass(bytes, classNumber, delta)) return false;
    if (keyContainers) incrementCounter(bytes, kKeyContainerChanges);
    if (files) incrementCounter(bytes, kFileChanges);
    incrementCounter(bytes, kStoreChanges);
    return true;
}
}  // namespace counters

// ---------------------------------------------------------------------------
// Container map 70 FD: 86-byte entries, entry k mirrors public-key record k+1.

namespace container_map {
inline constexpr std::size_t kEntrySize = 86;
inline constexpr std::size_t kNameOffset = 0;
inline constexpr std::size_t kNameSize = 80;  // UTF-16LE, zero-padded
inline constexpr std::size_t kFlagsOffset = 80;
inline constexpr std::size_t kReservedOffset = 81;
inline constexpr std::size_t kSignatureBitsOffset = 82;  // little-endian
inline constexpr std::size_t kExchangeBitsOffset = 84;   // little-endian
inline constexpr uint8_t kValidContainer = 0x01;
inline constexpr uint16_t kDefaultKeyBits = 256;

constexpr std::size_t entryOffset(std::size_t index) { return kEntrySize * index; }
// The map must reach past the last entry by one byte.
constexpr std::size_t sizeFor(std::size_t records) { return records * kEntrySize + 1; }
}  // namespace container_map

// ---------------------------------------------------------------------------
// Certificate name map 70 00: 21 entries of 12 bytes.

namespace name_map {
inline constexpr std::size_t kEntrySize = 12;
inline constexpr std::size_t kEntryCount = 21;
inline constexpr std::size_t kFileBytes = kEntrySize * kEntryCount;  // 252
inline constexpr std::size_t kFileIdOffset = 0;                      // little-endian; 0 = free entry
inline constexpr std::size_t kTypeOffset = 2;
inline constexpr std::size_t kAttributeOffset = 3;
inline constexpr std::size_t kNameOffset = 4;
inline constexpr std::size_t kNameSize = 8;  // ASCII, zero-padded
inline constexpr uint8_t kTypeFile = 0x01;
inline constexpr uint8_t kTypeDirectory = 0x38;
inline constexpr uint8_t kCertificateAttribute = 0x01;

constexpr std::size_t entryOffset(std::size_t index) { return kEntrySize * index; }
}  // namespace name_map

}  // namespace korva::objects
