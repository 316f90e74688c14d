#include "host/object_cache_file.h"

#include "host/private_files.h"
#include "sim/internal/tlv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace korva::host {
namespace {

// The file: BER-TLVs (the card's own encoding, one-byte tags, lengths up to
// 65535), in this order and nothing after them:
//   01 format version (1 byte)   02 the card's serial   03 counter (4 bytes)
//   04 object count (2 bytes)    05 one object, as many as counted:
//      record, directory (3 bytes), class (4 bytes), then for each attribute
//      06 type (4 bytes) and value, or 07 type and length (4 bytes each)
//      for one the module reported without a value.
// Numbers big-endian; values in the module's layout, as the walk read them.
constexpr uint8_t kFormatVersion = 1;
enum Tag : uint8_t { version = 1, serialTag, counterTag, countTag, objectTag, valueTag, lengthTag };
constexpr size_t kHeaderFields = 4;
// Five directories of at most 255 records each.
constexpr size_t kMostObjects = 5 * 255;
constexpr size_t kMostAttributes = 255;
constexpr size_t kLongestValue = 0xFFFF;  // what a TLV length can say
constexpr off_t kLongestFile = 16 * 1024 * 1024;

void appendNumber(std::vector<uint8_t>& out, uint32_t value, size_t bytes) {
    for (size_t i = bytes; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::optional<uint32_t> numberOf(std::span<const uint8_t> bytes, size_t length) {
    if (bytes.size() != length) return std::nullopt;
    uint32_t value = 0;
    for (const uint8_t byte : bytes) value = value << 8 | byte;
    return value;
}

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::optional<std::vector<uint8_t>> encodeObject(const CachedObject& object) {
    std::vector<uint8_t> out = {object.handle().record, object.handle().directoryHigh, object.handle().directoryLow};
    appendNumber(out, object.objectClass(), 4);
    for (const abi::CK_ATTRIBUTE& item : object.attributes().items()) {
        if (item.pValue != nullptr && item.ulValueLen > kLongestValue - 4) return std::nullopt;
        std::vector<uint8_t> field;
        field.reserve(8 + (item.pValue == nullptr ? 0 : size_t{item.ulValueLen}));
        appendNumber(field, item.type, 4);
        if (item.pValue == nullptr) {
            appendNumber(field, item.ulValueLen, 4);
            sim::appendTlv(out, lengthTag, field);
            continue;
        }
        const auto* value = static_cast<const uint8_t*>(item.pValue);
        field.insert(field.end(), value, value + item.ulValueLen);
        sim::appendTlv(out, valueTag, field);
    }
    if (out.size() > kLongestValue || object.attributes().items().size() > kMostAttributes) return std::nullopt;
    return out;
}

std::optional<KeptObject> decodeObject(std::span<const uint8_t> bytes) {
    if (bytes.size() < 7) return std::nullopt;
    KeptObject object{{bytes[0], bytes[1], bytes[2]}, *numberOf(bytes.subspan(3, 4), 4), {}};
    if (!ObjectCache::holdsHandle(object.handle)) return std::nullopt;
    const auto fields = sim::parseTlvs(bytes.subspan(7));
    if (!fields || fields->size() > kMostAttributes) return std::nullopt;
    for (const sim::Tlv& field : *fields) {
        if (field.value.size() < 4 || (field.tag != valueTag && field.tag != lengthTag)) return std::nullopt;
        const uint32_t type = *numberOf(field.value.first(4), 4);
        const std::span<const uint8_t> rest = field.value.subspan(4);
        if (field.tag == lengthTag) {
            const auto length = numberOf(rest, 4);
            if (!length) return std::nullopt;
            object.items.push_back({type, nullptr, *length});
            continue;
        }
        // Only public objects are ever kept.
        if (type == CKA_PRIVATE && std::ranges::any_of(rest, [](uint8_t byte) { return byte != 0; }))
            return std::nullopt;
        object.items.push_back({type, const_cast<uint8_t*>(rest.data()), static_cast<abi::CK_ULONG>(rest.size())});
    }
    return object;
}

// The folder and the file belong to the user, and nobody else may write them.
bool trustworthy(const struct stat& status, bool folder) {
    if (folder ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) return false;
    return status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool folderTrustworthy(const std::filesystem::path& folder) {
    struct stat status {};
    return lstat(folder.c_str(), &status) == 0 && trustworthy(status, true);
}

}  // namespace

std::optional<std::string> cacheFileSerial(std::span<const uint8_t> serialNumber) {
    std::string serial(serialNumber.begin(), serialNumber.end());
    serial.erase(serial.find_last_not_of(' ') + 1);
    const bool hex = std::ranges::all_of(
        serial, [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); });
    if (serial.empty() || !hex) return std::nullopt;
    return serial;
}

std::string serialOfIdentity(std::span<const uint8_t> identity) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string serial;
    for (const uint8_t byte : identity) serial += {kDigits[byte >> 4], kDigits[byte & 0x0F]};
    return serial;
}

std::optional<std::filesystem::path> objectCacheFile(const std::string& serial) {
    std::filesystem::path base;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && cache[0] == '/') {
        base = cache;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::filesystem::path(home) / ".cache";
    } else {
        return std::nullopt;
    }
    return base / "korva" / ("objects-" + serial);
}

std::optional<std::vector<uint8_t>> encodeObjectCache(const ObjectCache& cache, const std::string& serial,
                                                      uint32_t counter) {
    std::vector<std::vector<uint8_t>> objects;
    bool encodable = true;
    cache.forEachFrom(0, [&](const CachedObject& object) {
        if (object.isPrivate()) return;  // never met by a walk without the user; never kept
        if (auto encoded = encodeObject(object)) {
            objects.push_back(std::move(*encoded));
        } else {
            encodable = false;  // a file without it would hide it
        }
    });
    if (!encodable || objects.size() > kMostObjects) return std::nullopt;
    std::vector<uint8_t> out, field;
    sim::appendTlv(out, version, std::span(&kFormatVersion, 1));
    sim::appendTlv(out, serialTag, bytesOf(serial));
    appendNumber(field, counter, 4);
    sim::appendTlv(out, counterTag, field);
    field.clear();
    appendNumber(field, static_cast<uint32_t>(objects.size()), 2);
    sim::appendTlv(out, countTag, field);
    for (const std::vector<uint8_t>& object : objects) sim::appendTlv(out, objectTag, object);
    return out;
}

std::optional<KeptObjects> decodeObjectCache(std::span<const uint8_t> bytes, const std::string& serial) {
    const auto fields = sim::parseTlvs(bytes);
    if (!fields || fields->size() < kHeaderFields) return std::nullopt;
    const auto& header = *fields;
    const auto count = numberOf(header[3].value, 2);
    if (header[0].tag != version || header[0].value.size() != 1 || header[0].value[0] != kFormatVersion ||
        header[1].tag != serialTag || !std::ranges::equal(header[1].value, bytesOf(serial)) ||
        header[2].tag != counterTag || !numberOf(header[2].value, 4) || header[3].tag != countTag || !count ||
        *count > kMostObjects || fields->size() != kHeaderFields + *count)
        return std::nullopt;  // a file cut short at an object's end still counts fewer
    KeptObjects kept{*numberOf(header[2].value, 4), {}};
    for (size_t i = kHeaderFields; i < fields->size(); ++i) {
        if ((*fields)[i].tag != objectTag) return std::nullopt;
        auto object = decodeObject((*fields)[i].value);
        if (!object) return std::nullopt;
        kept.objects.push_back(std::move(*object));
    }
    return kept;
}

std::optional<std::vector<uint8_t>> readTrustedFile(const std::filesystem::path& file) {
    if (!folderTrustworthy(file.parent_path())) return std::nullopt;
    const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    std::optional<std::vector<uint8_t>> bytes;
    if (fstat(fd, &status) == 0 && trustworthy(status, false) && status.st_size <= kLongestFile) {
        bytes.emplace(static_cast<size_t>(status.st_size));
        size_t done = 0;
        while (done < bytes->size()) {
            const ssize_t got = read(fd, bytes->data() + done, bytes->size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        if (done != bytes->size()) bytes.reset();
    }
    close(fd);
    return bytes;
}

void saveObjectCache(const ObjectCache& cache, const std::string& serial, uint32_t counter) {
    const auto file = objectCacheFile(serial);
    if (!file || !makePrivateFolders(file->parent_path()) || !folderTrustworthy(file->parent_path())) return;
    const auto bytes = encodeObjectCache(cache, serial, counter);
    // Nothing kept when it fails: the next process walks the token.
    if (bytes) replacePrivateFile(*file, *bytes);
}

bool loadObjectCache(ObjectCache& cache, uint64_t card, const std::string& serial,
                     const ObjectCache::CounterReader& readCounter) {
    const auto file = objectCacheFile(serial);
    if (!file || !cache.enabled() || !cache.empty()) return false;
    const auto bytes = readTrustedFile(*file);
    const auto kept = bytes ? decodeObjectCache(*bytes, serial) : std::nullopt;
    if (!kept) return false;
    const std::optional<uint32_t> now = readCounter();
    if (!now) return false;
    cache.startWalk(0, false);
    for (const KeptObject& object : kept->objects)
        cache.noteWalked(object.handle, object.objectClass, false,
                         {object.items.data(), static_cast<abi::CK_ULONG>(object.items.size())});
    cache.finishAdopting(card, kept->counter, *now);
    return kept->counter == *now;
}

void removeObjectCaches() {
    const auto any = objectCacheFile("");
    if (!any) return;
    const std::string prefix = any->filename().string();
    std::error_code error;
    for (std::filesystem::directory_iterator entry(any->parent_path(), error), end; !error && entry != end;
         entry.increment(error))
        if (entry->path().filename().string().starts_with(prefix)) unlink(entry->path().c_str());
}

}  // namespace korva::host
