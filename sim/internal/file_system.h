// The card's ISO 7816-4 file tree and the current-file state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "common/wiped_bytes.h"

namespace korva::sim {

inline constexpr uint8_t descriptorTransparent = 0x01;
inline constexpr uint8_t descriptorLinearFixed = 0x02;
inline constexpr uint8_t descriptorKey = 0x11;
inline constexpr uint8_t descriptorInternal = 0x12;  // e.g. the PIN policy file
inline constexpr uint8_t descriptorDirectory = 0x38;

inline constexpr uint8_t lifeCycleInitialisation = 0x03;
inline constexpr uint8_t lifeCycleOperational = 0x05;

inline constexpr uint16_t masterFileId = 0x3F00;
// Directories below the master file, the master file not counted.
inline constexpr std::size_t maxDirectoryDepth = 8;

// Key-kind byte (tag 85 inside A5) of a PIN object.
inline constexpr uint8_t keyKindPin = 0x03;
// Key class byte (tag 86 inside A5) of a secret-key file.
inline constexpr uint8_t keyClassSecret = 0x08;
inline constexpr uint8_t pinTries = 10;
// PUT DATA objects one file holds at most.
inline constexpr std::size_t maxDataObjectsPerFile = 32;

struct FileNode {
  uint16_t fid = 0;
  std::vector<uint8_t> descriptorBytes;       // tag 82 as created
  uint32_t size = 0;                          // tag 80: body size or record capacity in bytes
  bool sizeGiven = false;                     // a directory reports 80 only when created with it
  uint8_t lifeCycle = lifeCycleOperational;   // tag 8A
  std::vector<uint8_t> securityAttributes;    // tag 86, as written at creation
  std::vector<uint8_t> name;                  // tag 84
  std::vector<uint8_t> proprietary;           // the value of A5, as written at creation
  std::vector<uint8_t> body;                  // transparent and internal files: `size` bytes
  std::vector<std::vector<uint8_t>> records;  // linear fixed files
  std::map<uint16_t, std::vector<uint8_t>> dataObjects;  // PUT DATA, by tag
  WipedBytes secret;               // key material (sealed card: its public part only)
  std::vector<uint8_t> sealed;     // sealed card: the sealed secret or body; empty = open
  std::vector<uint8_t> publicKey;  // GOST key objects: curve code, X, Y
  std::vector<uint8_t> pinWrap;    // PIN objects: the storage key under this PIN; empty = no value
  uint8_t triesLeft = 0;           // PIN objects
  std::vector<FileNode> children;  // directories

  uint8_t descriptor() const { return descriptorBytes.empty() ? 0 : descriptorBytes[0]; }
  bool isDirectory() const { return descriptor() == descriptorDirectory; }
  bool isKeyFile() const { return descriptor() == descriptorKey; }
  uint8_t recordLength() const;
  std::size_t recordCapacity() const;
  // A one-byte value of the A5 template, when present with one byte.
  std::optional<uint8_t> proprietaryByte(uint8_t tag) const;
  bool isPinObject() const;
  // The reference that VERIFY, CHANGE REFERENCE DATA and the security
  // environment name: tag 87 inside A5.
  std::optional<uint8_t> reference() const;

  FileNode* child(uint16_t childFid);
  const FileNode* child(uint16_t childFid) const;
};

// A file of the tree: the directories from the master file down (master file
// not included) and, for an elementary file, its identifier.
struct Location {
  std::vector<uint16_t> directories;
  std::optional<uint16_t> file;

  bool operator==(const Location&) const = default;
};

class FileSystem {
 public:
  FileNode root;     // the master file
  Location current;  // current directory, and current elementary file if any

  FileNode* at(const Location& location);
  const FileNode* at(const Location& location) const;
  FileNode& currentDirectory();
  FileNode* currentElementaryFile();
  // The current elementary file, else the current directory.
  FileNode& currentFile();
  Location currentDirectoryLocation() const { return {current.directories, std::nullopt}; }

  // A file named by identifier from the current directory: the master file,
  // a child of the current directory, the current directory itself or its
  // parent, in that order.
  std::optional<Location> findByIdentifier(uint16_t fid) const;
  // A file named by a path of identifiers below `start` (a directory).
  std::optional<Location> findByPath(const Location& start, std::span<const uint8_t> path) const;
  // A child of the current directory only.
  std::optional<Location> findChild(uint16_t fid) const;

  void select(const Location& location) { current = location; }
};

}  // namespace korva::sim
