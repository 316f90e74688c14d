// The object cache kept between the processes of one user: what a walk
// learned about a card's public objects, in a file per card in the user's
// cache folder ($XDG_CACHE_HOME, else ~/.cache: korva/objects-<serial>),
// so that a new process (every pkcs11-tool run is one) answers its first
// search from it instead of walking the token again.
//
// Why the file may be believed: it lies in the user's own cache folder,
// with the trust of the user's other files there and of the library's
// configuration; a process that can write it could as well change those.
// It carries only what anyone holding the card reads without a PIN: the
// objects a walk without the user logged in met (private objects are never
// met then), without a secret key's value or a private key's components.
// It is read only when the user owns it and nobody else can write it or
// its folder, and is otherwise hostile input: every length is checked,
// and a file that is not exactly what this library writes is ignored.
//
// Why it is never stale: it names the card's serial and the object-set
// change counter it was read under, and is taken only after this process
// has read the counter from the card and found it the same, on a card that
// reported that serial. The counter restarts when the token is initialised:
// initialising a token through this library removes the files.
#pragma once

#include "host/object_cache.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korva::host {

// The card's serial as the file's name carries it: the token information's
// serial number without its padding, if it is hex digits.
std::optional<std::string> cacheFileSerial(std::span<const uint8_t> serialNumber);
// The serial number the token reports for a card identity: its bytes in
// upper-case hexadecimal.
std::string serialOfIdentity(std::span<const uint8_t> identity);

// The user's file for the card with `serial`; nothing when there is no
// cache folder (no absolute $XDG_CACHE_HOME or $HOME).
std::optional<std::filesystem::path> objectCacheFile(const std::string& serial);

// The file's bytes for the cache's objects (a walk over every directory
// without the user, under `counter`); nothing when an object is too long to
// encode.
std::optional<std::vector<uint8_t>> encodeObjectCache(const ObjectCache& cache, const std::string& serial,
                                                      uint32_t counter);

// One object as the file holds it; its values point into the file's bytes.
struct KeptObject {
    abi::ObjectHandle handle;
    uint32_t objectClass;
    std::vector<abi::CK_ATTRIBUTE> items;
};
struct KeptObjects {
    uint32_t counter = 0;
    std::vector<KeptObject> objects;
};
// The file's objects when `bytes` is a sound file of this format for the
// card with `serial`; nothing otherwise.
std::optional<KeptObjects> decodeObjectCache(std::span<const uint8_t> bytes, const std::string& serial);

// The file's bytes when the user owns it and nobody else may write it or
// its folder, and it is not longer than any this library writes.
std::optional<std::vector<uint8_t>> readTrustedFile(const std::filesystem::path& file);

// Writes the cache for other processes (temporary file, fsync, rename;
// mode 0600); a failure only means that nothing is kept.
void saveObjectCache(const ObjectCache& cache, const std::string& serial, uint32_t counter);
// Offers an empty cache what other processes kept for the card: taken when
// the counter read now through `readCounter` is the one it was kept under.
// Returns whether the cache now holds it.
bool loadObjectCache(ObjectCache& cache, uint64_t card, const std::string& serial,
                     const ObjectCache::CounterReader& readCounter);
// A token was initialised: its objects went, and its counter restarts. The
// files of every card go (the card's serial costs exchanges to learn, and a
// file is only a saving).
void removeObjectCaches();

}  // namespace korva::host
