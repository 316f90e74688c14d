#include "objects/container_name.h"

#include <algorithm>
#include <cstring>

namespace korva::objects {

namespace {

// Container names longer than this many UTF-16 units leave no room for the
// terminating zero in the 80-byte field.
constexpr std::size_t kMaxNameUnits = container_map::kNameSize / 2 - 1;  // 39

constexpr char kBrokenName[] = "BROKENID";

bool isContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Decodes one scalar value starting at utf8[i]; advances i past it. Returns
// nullopt on any ill-formed sequence.
std::optional<uint32_t> decodeScalar(std::span<const uint8_t> utf8, std::size_t& i) {
    const uint8_t lead = utf8[i];
    std::size_t extra;
    uint32_t value;
    uint32_t minimum;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;  // continuation byte without a lead, or F8..FF
    }
    if (utf8.size() - i - 1 < extra) return std::nullopt;  // truncated
    for (std::size_t k = 1; k <= extra; ++k) {
        const uint8_t byte = utf8[i + k];
        if (!isContinuation(byte)) return std::nullopt;
        value = value << 6 | (byte & 0x3F);
    }
    if (value < minimum) return std::nullopt;                     // overlong
    if (value >= 0xD800 && value <= 0xDFFF) return std::nullopt;  // surrogate
    if (value > 0x10FFFF) return std::nullopt;
    i += extra + 1;
    return value;
}

ContainerName brokenName() {
    ContainerName name{};
    for (std::size_t k = 0; kBrokenName[k] != '\0'; ++k) name[2 * k] = uint8_t(kBrokenName[k]);
    return name;
}

void putLittleEndian16(uint8_t* out, uint16_t value) {
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
}

uint16_t getLittleEndian16(const uint8_t* in) { return uint16_t(in[0] | in[1] << 8); }

const abi::CK_ATTRIBUTE* findFirst(std::span<const abi::CK_ATTRIBUTE> tmpl, uint32_t type) {
    for (const abi::CK_ATTRIBUTE& entry : tmpl)
        if (entry.type == type) return &entry;
    return nullptr;
}

}  // namespace

std::optional<std::vector<uint16_t>> utf8ToUtf16(std::span<const uint8_t> utf8) {
    std::vector<uint16_t> units;
    units.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::optional<uint32_t> scalar = decodeScalar(utf8, i);
        if (!scalar) return std::nullopt;
        if (*scalar < 0x10000) {
            units.push_back(uint16_t(*scalar));
        } else {
            const uint32_t offset = *scalar - 0x10000;
            units.push_back(uint16_t(0xD800 | offset >> 10));
            units.push_back(uint16_t(0xDC00 | (offset & 0x3FF)));
        }
    }
    return units;
}

ContainerName containerNameFor(std::span<const uint8_t> id) {
    if (id.empty()) return brokenName();
    const std::optional<std::vector<uint16_t>> units = utf8ToUtf16(id);
    if (!units || units->size() > kMaxNameUnits) return brokenName();
    ContainerName name{};
    for (std::size_t k = 0; k < units->size(); ++k) putLittleEndian16(&name[2 * k], (*units)[k]);
    return name;
}

std::optional<ContainerName> containerNameForTemplate(std::span<const abi::CK_ATTRIBUTE> tmpl) {
    const abi::CK_ATTRIBUTE* id = findFirst(tmpl, abi::CKA_ID);
    if (id == nullptr || id->ulValueLen == 0 || id->ulValueLen == abi::KORVA_UNAVAILABLE_LENGTH) return brokenName();
    if (id->pValue == nullptr) return std::nullopt;
    return containerNameFor({static_cast<const uint8_t*>(id->pValue), id->ulValueLen});
}

std::optional<ContainerMapEntry> buildContainerMapEntry(std::span<const abi::CK_ATTRIBUTE> tmpl, bool defaultSize) {
    const std::optional<ContainerName> name = containerNameForTemplate(tmpl);
    if (!name) return std::nullopt;
    uint16_t keyBits = container_map::kDefaultKeyBits;
    const abi::CK_ATTRIBUTE* bits = findFirst(tmpl, abi::CKA_MODULUS_BITS);
    if (!defaultSize && bits != nullptr && bits->ulValueLen == 4 && bits->pValue != nullptr) {
        uint32_t value;
        std::memcpy(&value, bits->pValue, sizeof value);
        keyBits = uint16_t(value);  // the field is 16 bits wide
    }
    // A boolean is true when its byte is 01, the rule by which it is stored
    // in the key's record, so the map agrees with the record.
    const abi::CK_ATTRIBUTE* encrypt = findFirst(tmpl, abi::CKA_ENCRYPT);
    const bool signatureOnly = encrypt != nullptr && encrypt->ulValueLen == 1 && encrypt->pValue != nullptr &&
                               *static_cast<const uint8_t*>(encrypt->pValue) != 1;
    return makeContainerMapEntry(*name, keyBits, !signatureOnly);
}

bool ContainerMapEntry::isFree() const {
    const auto bytes = encodeContainerMapEntry(*this);
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

std::array<uint8_t, container_map::kEntrySize> encodeContainerMapEntry(const ContainerMapEntry& entry) {
    using namespace container_map;
    std::array<uint8_t, kEntrySize> bytes{};
    std::copy(entry.name.begin(), entry.name.end(), bytes.begin() + kNameOffset);
    bytes[kFlagsOffset] = entry.flags;
    bytes[kReservedOffset] = entry.reserved;
    putLittleEndian16(&bytes[kSignatureBitsOffset], entry.signatureKeyBits);
    putLittleEndian16(&bytes[kExchangeBitsOffset], entry.exchangeKeyBits);
    return bytes;
}

std::optional<ContainerMapEntry> decodeContainerMapEntry(std::span<const uint8_t> bytes) {
    using namespace container_map;
    if (bytes.size() < kEntrySize) return std::nullopt;
    ContainerMapEntry entry;
    std::copy_n(bytes.begin() + kNameOffset, kNameSize, entry.name.begin());
    entry.flags = bytes[kFlagsOffset];
    entry.reserved = bytes[kReservedOffset];
    entry.signatureKeyBits = getLittleEndian16(&bytes[kSignatureBitsOffset]);
    entry.exchangeKeyBits = getLittleEndian16(&bytes[kExchangeBitsOffset]);
    return entry;
}

ContainerMapEntry makeContainerMapEntry(const ContainerName& name, uint16_t keyBits, bool exchangeKey) {
    ContainerMapEntry entry;
    entry.name = name;
    entry.flags = container_map::kValidContainer;
    (exchangeKey ? entry.exchangeKeyBits : entry.signatureKeyBits) = keyBits;
    return entry;
}

std::array<uint8_t, name_map::kEntrySize> encodeNameMapEntry(const NameMapEntry& entry) {
    using namespace name_map;
    std::array<uint8_t, kEntrySize> bytes{};
    putLittleEndian16(&bytes[kFileIdOffset], entry.fileId);
    bytes[kTypeOffset] = entry.type;
    bytes[kAttributeOffset] = entry.attribute;
    std::copy(entry.name.begin(), entry.name.end(), bytes.begin() + kNameOffset);
    return bytes;
}

std::optional<NameMapEntry> decodeNameMapEntry(std::span<const uint8_t> bytes) {
    using namespace name_map;
    if (bytes.size() < kEntrySize) return std::nullopt;
    NameMapEntry entry;
    entry.fileId = getLittleEndian16(&bytes[kFileIdOffset]);
    entry.type = bytes[kTypeOffset];
    entry.attribute = bytes[kAttributeOffset];
    std::copy_n(bytes.begin() + kNameOffset, kNameSize, entry.name.begin());
    return entry;
}

std::array<uint8_t, name_map::kNameSize> certificateFileName(bool exchangeKey, uint8_t containerIndex) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::array<uint8_t, name_map::kNameSize> name{};
    name[0] = 'k';
    name[1] = exchangeKey ? 'x' : 's';
    name[2] = 'c';
    name[3] = uint8_t(kHex[containerIndex >> 4]);
    name[4] = uint8_t(kHex[containerIndex & 0x0F]);
    return name;
}

NameMapEntry makeCertificateNameEntry(uint16_t fileId, bool exchangeKey, uint8_t containerIndex) {
    return {fileId, name_map::kTypeFile, name_map::kCertificateAttribute,
            certificateFileName(exchangeKey, containerIndex)};
}

std::optional<std::size_t> findNameMapEntry(std::span<const uint8_t> mapBytes, uint16_t fileId) {
    using namespace name_map;
    for (std::size_t j = 0; j < kEntryCount; ++j) {
        const std::size_t offset = entryOffset(j);
        if (mapBytes.size() < offset + 2) break;
        if (getLittleEndian16(&mapBytes[offset + kFileIdOffset]) == fileId) return j;
    }
    return std::nullopt;
}

}  // namespace korva::objects
