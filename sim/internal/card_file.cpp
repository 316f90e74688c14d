#include "sim/internal/card_file.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>

#include "sim/internal/fcp.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/access.h"
#include "sim/internal/memory.h"
#include "sim/internal/secrets.h"
#include "sim/internal/tlv.h"

namespace korva::sim {
namespace {

// Layout: magic (8) | version (2) | payload length (4) | payload | SHA-256 of
// everything before it (32). Numbers are big-endian.
constexpr std::array<uint8_t, 8> magic{'K', 'O', 'R', 'V', 'A', 'S', 'I', 'M'};
constexpr std::size_t headerLength = magic.size() + 2 + 4;
constexpr std::size_t checksumLength = SHA256_DIGEST_LENGTH;
constexpr std::size_t maxCardFileLength = 64u << 20;

constexpr uint8_t optionGost2012 = 0x01;
constexpr uint8_t optionSeeded = 0x02;
constexpr uint8_t nodeSizeGiven = 0x01;

[[noreturn]] void damaged(const char* what) {
  throw std::runtime_error(std::string("card file is damaged: ") + what);
}

class Writer {
 public:
  std::vector<uint8_t> bytes;

  void number(uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  // A length of `width` bytes, then the bytes.
  void block(std::span<const uint8_t> value, std::size_t width) {
    number(value.size(), width);
    bytes.insert(bytes.end(), value.begin(), value.end());
  }
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data) {}

  uint64_t number(std::size_t width) {
    const std::span<const uint8_t> field = take(width);
    uint64_t value = 0;
    for (uint8_t byte : field) value = value << 8 | byte;
    return value;
  }
  uint8_t byte() { return static_cast<uint8_t>(number(1)); }
  // Key material is read straight into a wiped buffer: Bytes = WipedBytes.
  template <typename Bytes = std::vector<uint8_t>>
  Bytes block(std::size_t width, std::size_t limit) {
    const uint64_t length = number(width);
    if (length > limit) damaged("field too long");
    const std::span<const uint8_t> value = take(static_cast<std::size_t>(length));
    return Bytes(value.begin(), value.end());
  }
  bool atEnd() const { return offset_ == data_.size(); }

 private:
  std::span<const uint8_t> take(std::size_t count) {
    if (count > data_.size() - offset_) damaged("truncated");
    const std::span<const uint8_t> field = data_.subspan(offset_, count);
    offset_ += count;
    return field;
  }

  std::span<const uint8_t> data_;
  std::size_t offset_ = 0;
};

std::string fileName(const FileNode& node) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 12; shift >= 0; shift -= 4) text += digits[(node.fid >> shift) & 0x0F];
  return text;
}

[[noreturn]] void damagedFile(const FileNode& node, const std::string& what) {
  throw std::runtime_error("card file is damaged: " + what + " of file " + fileName(node));
}

// The largest sealed value a node may hold: its key material or its body,
// and the seal.
uint64_t sealedLimit(const FileNode& node) {
  if (node.isKeyFile()) return keyObjectSize + sealOverhead;
  return isConfidentialBody(node) ? uint64_t{node.size} + sealOverhead : 0;
}

void writeNode(Writer& out, const CardState& card, const FileNode& node) {
  const SealedForm secret = sealedFormOf(card, node);
  const bool bodySealed = isConfidentialBody(node) && !secret.sealed.empty();
  out.number(node.fid, 2);
  out.block(node.descriptorBytes, 1);
  out.number(node.size, 4);
  out.number(node.sizeGiven ? nodeSizeGiven : 0, 1);
  out.number(node.lifeCycle, 1);
  out.block(node.securityAttributes, 1);
  out.block(node.name, 1);
  out.block(node.proprietary, 1);
  out.block(bodySealed ? std::span<const uint8_t>() : std::span<const uint8_t>(node.body), 4);
  out.number(node.records.size(), 4);
  for (const auto& record : node.records) out.block(record, 2);
  out.number(node.dataObjects.size(), 2);
  for (const auto& [tag, value] : node.dataObjects) {
    out.number(tag, 2);
    out.block(value, 2);
  }
  out.block(secret.clear, 2);
  out.block(secret.sealed, 4);
  out.block(node.publicKey, 1);
  out.block(node.pinWrap, 1);
  out.number(node.triesLeft, 1);
  out.number(node.children.size(), 4);
  for (const FileNode& child : node.children) writeNode(out, card, child);
}

// What the second format adds to a node: the sealed secret (a confidential
// body then comes as no bytes), the GOST public key, the PIN wrap.
void readSealedParts(Reader& in, FileNode& node) {
  node.sealed = in.block(4, static_cast<std::size_t>(sealedLimit(node)));
  if (!node.sealed.empty() && node.sealed.size() < sealOverhead) damagedFile(node, "sealed secret");
  node.publicKey = in.block(1, 1 + 2 * 64);
  node.pinWrap = in.block(1, pinWrapLength);
  if (!node.pinWrap.empty() && (!node.isPinObject() || !wrapCost(node.pinWrap)))
    damagedFile(node, "PIN wrap");
  if (node.isPinObject() && !node.secret.empty()) damagedFile(node, "PIN in the clear");
  if (isConfidentialBody(node) && !node.sealed.empty()) {
    if (!node.body.empty() || node.sealed.size() != node.size + sealOverhead)
      damagedFile(node, "sealed body");
    node.body.assign(node.size, 0);
  }
  if (isGostKeyObject(node)) {
    const auto* curve = node.publicKey.empty() ? nullptr : crypto::findGostCurve(node.publicKey[0]);
    if (!node.secret.empty() ||
        (!node.sealed.empty() &&
         (curve == nullptr || node.publicKey.size() != 1 + 2 * curve->size)))
      damagedFile(node, "GOST key");
  } else if (!node.publicKey.empty()) {
    damagedFile(node, "public key");
  }
  if (isRsaKeyFile(node) && !node.sealed.empty() &&
      node.secret.size() != crypto::kRsaExponentBytes + crypto::kRsaModulusBytes)
    damagedFile(node, "RSA key");
}

// Reads one node and its subtree, holding it to the rules CREATE FILE and
// the other commands keep; `budget` is the memory still unaccounted for.
FileNode readNode(Reader& in, uint16_t version, std::size_t depth, uint64_t& budget) {
  FileNode node;
  node.fid = static_cast<uint16_t>(in.number(2));
  node.descriptorBytes = in.block(1, 5);
  if (!isValidDescriptorField(node.descriptorBytes)) damaged("file descriptor");
  node.size = static_cast<uint32_t>(in.number(4));
  node.sizeGiven = (in.byte() & nodeSizeGiven) != 0;
  node.lifeCycle = in.byte();
  if (!isKnownLifeCycle(node.lifeCycle)) damaged("life cycle");
  node.securityAttributes = in.block(1, maxSecurityAttributes);
  node.name = in.block(1, maxNameLength);
  node.proprietary = in.block(1, maxProprietaryLength);
  if (!parseTlvs(node.proprietary)) damaged("proprietary template");

  const uint64_t own = memoryOf(node);  // data objects are added below
  if (own > budget) damaged("more memory used than the card has");
  budget -= own;

  const bool hasBody =
      node.descriptor() == descriptorTransparent || node.descriptor() == descriptorInternal;
  node.body = in.block(4, hasBody ? node.size : 0);
  // A sealed body comes later, with the node's sealed secret.
  const bool maybeSealed = version != firstCardFileVersion && isConfidentialBody(node);
  if (node.body.size() != (hasBody ? node.size : 0) && !(maybeSealed && node.body.empty()))
    damaged("body size");

  const uint64_t recordCount = in.number(4);
  if (recordCount > node.recordCapacity()) damaged("record count");
  for (uint64_t i = 0; i < recordCount; ++i) {
    node.records.push_back(in.block(2, node.recordLength()));
    if (node.records.back().size() != node.recordLength()) damaged("record length");
  }

  const uint64_t objectCount = in.number(2);
  if (objectCount > maxDataObjectsPerFile || (objectCount != 0 && node.isDirectory()))
    damaged("data objects");
  for (uint64_t i = 0; i < objectCount; ++i) {
    const auto tag = static_cast<uint16_t>(in.number(2));
    std::vector<uint8_t> value = in.block(2, 0xFF);
    if (value.empty() || 2 + value.size() > budget) damaged("data object");
    budget -= 2 + value.size();
    if (!node.dataObjects.emplace(tag, std::move(value)).second) damaged("data object repeated");
  }

  node.secret = in.block<WipedBytes>(2, node.isKeyFile() ? keyObjectSize : 0);
  if (version == firstCardFileVersion) {
    // Only the card's generator makes GOST key objects: their material is
    // always a whole key.
    if (isGostKeyObject(node) && !node.secret.empty() && !gostKeyOf(node)) damaged("GOST key");
  } else {
    readSealedParts(in, node);
  }
  if (node.body.size() != (hasBody ? node.size : 0)) damaged("body size");
  node.triesLeft = in.byte();
  if (node.triesLeft > pinTries) damaged("retry counter");

  const uint64_t childCount = in.number(4);
  if (childCount != 0 && (!node.isDirectory() || depth >= maxDirectoryDepth + 1))
    damaged("children");
  std::set<uint16_t> seen;
  for (uint64_t i = 0; i < childCount; ++i) {
    FileNode child = readNode(in, version, depth + 1, budget);
    if (child.fid == masterFileId || child.fid == 0x3FFF || child.fid == 0xFFFF ||
        !seen.insert(child.fid).second)
      damaged("file identifier");
    if (child.isDirectory() && depth >= maxDirectoryDepth) damaged("directory depth");
    node.children.push_back(std::move(child));
  }
  return node;
}

std::array<uint8_t, checksumLength> checksum(std::span<const uint8_t> data) {
  std::array<uint8_t, checksumLength> digest{};
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

[[noreturn]] void failedWrite(const std::filesystem::path& path, const char* step) {
  throw std::runtime_error("cannot write card file " + path.string() + ": " + step + ": " +
                           std::strerror(errno));
}

}  // namespace

std::vector<uint8_t> serialiseCard(const CardState& card) {
  Writer payload;
  payload.number(card.options.memorySize, 4);
  uint8_t flags = card.options.gost2012 ? optionGost2012 : 0;
  if (card.random.seed()) flags |= optionSeeded;
  payload.number(flags, 1);
  payload.number(card.random.seed().value_or(0), 8);
  payload.number(card.random.counter(), 8);
  payload.bytes.insert(payload.bytes.end(), card.identity.begin(), card.identity.end());
  payload.number(card.options.pinKeyCost, 1);
  writeNode(payload, card, card.files.root);

  Writer out;
  out.bytes.assign(magic.begin(), magic.end());
  out.number(cardFileVersion, 2);
  out.block(payload.bytes, 4);
  const auto digest = checksum(out.bytes);
  out.bytes.insert(out.bytes.end(), digest.begin(), digest.end());
  return std::move(out.bytes);
}

CardState parseCardFile(std::span<const uint8_t> bytes, uint16_t* versionRead) {
  if (bytes.size() < headerLength + checksumLength ||
      !std::equal(magic.begin(), magic.end(), bytes.begin()))
    throw std::runtime_error("not a virtual card file");
  const std::span<const uint8_t> sealed = bytes.first(bytes.size() - checksumLength);
  const auto digest = checksum(sealed);
  if (!std::equal(digest.begin(), digest.end(), bytes.end() - checksumLength))
    damaged("checksum mismatch");

  Reader header(sealed.subspan(magic.size()));
  const auto version = static_cast<uint16_t>(header.number(2));
  if (version > cardFileVersion)
    throw std::runtime_error("card file version " + std::to_string(version) +
                             " is newer than this program knows (" +
                             std::to_string(cardFileVersion) + "); the file is left as it is");
  if (version < firstCardFileVersion)
    throw std::runtime_error("card file version " + std::to_string(version) + " is not supported");
  if (versionRead != nullptr) *versionRead = version;
  const std::vector<uint8_t> payloadBytes = header.block(4, sealed.size());
  if (!header.atEnd()) damaged("trailing bytes");

  Reader in(payloadBytes);
  CardState card;
  card.options.memorySize = static_cast<uint32_t>(in.number(4));
  if (card.options.memorySize < minimumMemory || card.options.memorySize > maximumMemory)
    damaged("memory size");
  const uint8_t flags = in.byte();
  card.options.gost2012 = (flags & optionGost2012) != 0;
  const uint64_t seed = in.number(8);
  const uint64_t counter = in.number(8);
  if ((flags & optionSeeded) != 0) card.options.randomSeed = seed;
  card.random = RandomSource(card.options.randomSeed, counter);
  for (uint8_t& byte : card.identity) byte = in.byte();
  card.options.identity = card.identity;
  if (version != firstCardFileVersion) {
    card.options.pinKeyCost = in.byte();
    if (card.options.pinKeyCost < minKdfLog2N || card.options.pinKeyCost > maxKdfLog2N)
      damaged("PIN key cost");
  }

  uint64_t budget = card.options.memorySize;
  card.files.root = readNode(in, version, 0, budget);
  if (card.files.root.fid != masterFileId || !card.files.root.isDirectory()) damaged("master file");
  if (!in.atEnd()) damaged("trailing bytes");
  return card;
}

std::vector<uint8_t> readCardFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open card file " + path.string());
  std::vector<uint8_t> bytes;
  std::array<char, 8192> chunk{};
  while (in) {
    in.read(chunk.data(), chunk.size());
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + in.gcount());
    if (bytes.size() > maxCardFileLength) throw std::runtime_error("card file too large");
  }
  if (in.bad()) throw std::runtime_error("cannot read card file " + path.string());
  return bytes;
}

void writeCardFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  const std::filesystem::path directory =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::string temporary = (directory / (path.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(temporary.data());
  if (fd < 0) failedWrite(path, "temporary file");
  const auto abandon = [&](const char* step) {
    const int saved = errno;
    close(fd);
    unlink(temporary.c_str());
    errno = saved;
    failedWrite(path, step);
  };
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = write(fd, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) abandon("write");
    written += static_cast<std::size_t>(count);
  }
  if (fsync(fd) != 0) abandon("fsync");
  if (close(fd) != 0) {
    unlink(temporary.c_str());
    failedWrite(path, "close");
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    failedWrite(path, "rename");
  }
  // Make the rename itself durable.
  const int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (directoryFd >= 0) {
    fsync(directoryFd);
    close(directoryFd);
  }
}

}  // namespace korva::sim
