#include "host/session_key_journal.h"

#include "host/entry.h"
#include "host/object_search.h"
#include "host/private_files.h"
#include "host/token.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace korva::host {
namespace {

// "KSJ1", the pending flag, a 16-bit count, then three bytes per object
// (record, directory high and low byte).
constexpr std::array<uint8_t, 4> kMagic{'K', 'S', 'J', '1'};
constexpr size_t kHeaderSize = kMagic.size() + 3;
constexpr size_t kEntrySize = 3;
// A card holds a few hundred objects at most; a longer file is not ours.
constexpr size_t kMaxJournalSize = kHeaderSize + 1024 * kEntrySize;

std::optional<std::vector<uint8_t>> readSmallFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    std::vector<uint8_t> bytes(kMaxJournalSize + 1);
    size_t length = 0;
    while (length < bytes.size()) {
        const ssize_t count = read(fd, bytes.data() + length, bytes.size() - length);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        length += static_cast<size_t>(count);
    }
    ::close(fd);
    if (length > kMaxJournalSize) return std::nullopt;
    bytes.resize(length);
    return bytes;
}

bool sameObject(const abi::ObjectHandle& a, const abi::ObjectHandle& b) {
    return a.record == b.record && a.directoryHigh == b.directoryHigh && a.directoryLow == b.directoryLow;
}

std::atomic<unsigned> journalsOpened{0};

// Another process's journal of the same card, and whether that process lives.
struct ForeignJournal {
    std::string base;
    int lock = -1;  // held by us once its owner is known dead
    bool alive = false;
};

// Nothing when the directory cannot be read whole: a journal missed could be a
// living process's, whose keys would then look left over.
std::optional<std::vector<ForeignJournal>> foreignJournals(const std::string& directory, const std::string& serial,
                                                           const std::string& ours) {
    std::vector<ForeignJournal> found;
    const std::string prefix = serial + ".";
    const std::string suffix = ".journal";
    // Not readdir(): in a 32-bit build its entry has 32-bit inode and offset
    // fields, and it ends the listing (EOVERFLOW, which reads as the end) at
    // the first entry whose values are wider: large inode numbers (XFS,
    // overlay mounts), or the 64-bit hash offsets ext4 hands a 64-bit kernel
    // caller, as a 32-bit process run by qemu-user is. The library's iterator
    // reads 64-bit entries and reports a failure as one.
    std::error_code error;
    for (std::filesystem::directory_iterator item(directory, error), end; !error && item != end;
         item.increment(error)) {
        const std::string name = item->path().filename().string();
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        ForeignJournal journal{directory + "/" + name.substr(0, name.size() - suffix.size())};
        if (journal.base == ours) continue;
        journal.lock = open((journal.base + ".lock").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (journal.lock >= 0 && flock(journal.lock, LOCK_EX | LOCK_NB) != 0) {
            journal.alive = true;
            ::close(journal.lock);
            journal.lock = -1;
        }
        found.push_back(std::move(journal));
    }
    if (!error) return found;
    for (const ForeignJournal& journal : found)
        if (journal.lock >= 0) ::close(journal.lock);
    return std::nullopt;
}

void removeJournal(ForeignJournal& journal) {
    unlink((journal.base + ".journal").c_str());
    unlink((journal.base + ".lock").c_str());
    if (journal.lock >= 0) ::close(journal.lock);
    journal.lock = -1;
}

}  // namespace

std::vector<uint8_t> encodeJournal(const JournalContents& contents) {
    std::vector<uint8_t> bytes(kMagic.begin(), kMagic.end());
    const size_t count = std::min(contents.owned.size(), (kMaxJournalSize - kHeaderSize) / kEntrySize);
    bytes.push_back(contents.pending ? 1 : 0);
    bytes.push_back(static_cast<uint8_t>(count >> 8));
    bytes.push_back(static_cast<uint8_t>(count));
    for (size_t i = 0; i < count; ++i) {
        const abi::ObjectHandle& handle = contents.owned[i];
        bytes.insert(bytes.end(), {handle.record, handle.directoryHigh, handle.directoryLow});
    }
    return bytes;
}

std::optional<JournalContents> decodeJournal(std::span<const uint8_t> bytes) {
    if (bytes.size() < kHeaderSize || bytes.size() > kMaxJournalSize ||
        !std::equal(kMagic.begin(), kMagic.end(), bytes.begin()) || bytes[4] > 1)
        return std::nullopt;
    const size_t count = size_t{bytes[5]} << 8 | bytes[6];
    if (bytes.size() != kHeaderSize + count * kEntrySize) return std::nullopt;
    JournalContents contents;
    contents.pending = bytes[4] == 1;
    for (size_t at = kHeaderSize; at < bytes.size(); at += kEntrySize)
        contents.owned.push_back({bytes[at], bytes[at + 1], bytes[at + 2]});
    return contents;
}

std::optional<std::string> journalDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/korva/session-keys";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/korva/session-keys";
    return std::nullopt;
}

SessionKeyJournal::~SessionKeyJournal() { close(false); }

void SessionKeyJournal::close(bool remove) {
    if (lock_ < 0) return;
    if (remove) {
        unlink((base_ + ".journal").c_str());
        unlink((base_ + ".lock").c_str());
    }
    // What is left names keys still on the card: with the lock released, the
    // next login destroys them.
    ::close(lock_);
    lock_ = -1;
    base_.clear();
}

bool SessionKeyJournal::write(const std::string& serial, const JournalContents& contents) {
    const bool empty = contents.owned.empty() && !contents.pending;
    if (lock_ >= 0 && serial != serial_) {
        if (!empty) return false;  // keys of another card still noted
        close(false);
    }
    if (empty) {
        close(true);
        return true;
    }
    const auto directory = journalDirectory();
    if (!directory || !makePrivateFolders(*directory)) return false;
    if (lock_ < 0) {
        const std::string base = *directory + "/" + serial + "." + std::to_string(getpid()) + "." +
                                 std::to_string(journalsOpened.fetch_add(1));
        const int fd = open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return false;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        lock_ = fd;
        base_ = base;
        serial_ = serial;
    }
    return replacePrivateFile(base_ + ".journal", encodeJournal(contents));
}

std::optional<std::string> cardSerial(Token& token) {
    abi::CK_TOKEN_INFO info{};
    if (token.module().getTokenInfo(token.context(), token.settings(), &info) != CKR_OK) return std::nullopt;
    std::string serial;
    for (const unsigned char c : info.serialNumber)
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            serial.push_back(static_cast<char>(c));
    if (serial.empty()) return std::nullopt;
    return serial;
}

void destroyCrashLeftovers(Token& token) {
    const auto directory = journalDirectory();
    if (!directory) return;
    const auto serial = cardSerial(token);
    if (!serial) return;
    auto listed = foreignJournals(*directory, *serial, token.journal().base());
    if (!listed) return;
    std::vector<ForeignJournal>& journals = *listed;
    const bool anyDead = std::any_of(journals.begin(), journals.end(), [](const auto& j) { return !j.alive; });
    // What living processes (this one too) own stays.
    std::vector<abi::ObjectHandle> kept = token.libraryObjects().cardObjects();
    bool livePending = false;
    for (const ForeignJournal& journal : journals) {
        if (!journal.alive) continue;
        const auto bytes = readSmallFile(journal.base + ".journal");
        const auto contents = bytes ? decodeJournal(*bytes) : std::nullopt;
        if (!contents) continue;  // a living writer replaces it whole: never torn
        livePending = livePending || contents->pending;
        kept.insert(kept.end(), contents->owned.begin(), contents->owned.end());
    }
    if (anyDead && !livePending) {
        std::vector<abi::ObjectHandle> leftovers;
        size_t privateKeys = 0;
        const ck_rv_t rv = searchObjects(
            token, nullptr, 0,
            [&](const abi::ObjectHandle& handle, uint32_t objectClass, bool, const AttributeView& object) {
                if (isSessionObject(handle)) return;
                const auto flag = object.find(CKA_TOKEN);
                if (!flag || flag->size() != 1 || (*flag)[0] != 0) return;
                if (std::any_of(kept.begin(), kept.end(), [&](const auto& own) { return sameObject(own, handle); }))
                    return;
                // Private keys first: they go before the public keys they share files with.
                if (objectClass != CKO_PRIVATE_KEY) return leftovers.push_back(handle);
                leftovers.insert(leftovers.begin() + privateKeys++, handle);
            });
        if (rv == CKR_OK && token.destroyCardObjects(leftovers)) {
            for (ForeignJournal& journal : journals)
                if (!journal.alive) removeJournal(journal);
        }
    }
    for (ForeignJournal& journal : journals)
        if (journal.lock >= 0) ::close(journal.lock);
}

}  // namespace korva::host
