#include "sim/internal/file_system.h"

#include "sim/internal/tlv.h"

namespace korva::sim {

uint8_t FileNode::recordLength() const {
  return descriptorBytes.size() >= 3 ? descriptorBytes[2] : 0;
}

std::size_t FileNode::recordCapacity() const {
  const uint8_t length = recordLength();
  return length == 0 ? 0 : size / length;
}

std::optional<uint8_t> FileNode::proprietaryByte(uint8_t tag) const {
  const auto value = findTlv(proprietary, tag);
  if (!value || value->size() != 1) return std::nullopt;
  return (*value)[0];
}

// A two-key triple-DES key file also has kind 03; its key class (A5/86)
// tells it apart from a PIN.
bool FileNode::isPinObject() const {
  return isKeyFile() && proprietaryByte(0x85) == keyKindPin &&
         proprietaryByte(0x86) != keyClassSecret;
}

std::optional<uint8_t> FileNode::reference() const { return proprietaryByte(0x87); }

FileNode* FileNode::child(uint16_t childFid) {
  for (FileNode& node : children)
    if (node.fid == childFid) return &node;
  return nullptr;
}

const FileNode* FileNode::child(uint16_t childFid) const {
  for (const FileNode& node : children)
    if (node.fid == childFid) return &node;
  return nullptr;
}

const FileNode* FileSystem::at(const Location& location) const {
  const FileNode* node = &root;
  for (uint16_t fid : location.directories) {
    node = node->child(fid);
    if (node == nullptr || !node->isDirectory()) return nullptr;
  }
  if (location.file) {
    node = node->child(*location.file);
    if (node == nullptr || node->isDirectory()) return nullptr;
  }
  return node;
}

FileNode* FileSystem::at(const Location& location) {
  return const_cast<FileNode*>(static_cast<const FileSystem*>(this)->at(location));
}

FileNode& FileSystem::currentDirectory() {
  // The current directory always exists: a deletion never removes it or one
  // of its ancestors without moving `current` first. Fall back to the master
  // file all the same rather than trust that invariant blindly.
  FileNode* node = at(currentDirectoryLocation());
  if (node == nullptr) {
    current = {};
    return root;
  }
  return *node;
}

FileNode* FileSystem::currentElementaryFile() {
  if (!current.file) return nullptr;
  FileNode* node = at(current);
  if (node == nullptr) current.file.reset();
  return node;
}

FileNode& FileSystem::currentFile() {
  FileNode* file = currentElementaryFile();
  return file != nullptr ? *file : currentDirectory();
}

std::optional<Location> FileSystem::findChild(uint16_t fid) const {
  const FileNode* directory = at(currentDirectoryLocation());
  if (directory == nullptr) return std::nullopt;
  const FileNode* node = directory->child(fid);
  if (node == nullptr) return std::nullopt;
  Location location = currentDirectoryLocation();
  if (node->isDirectory())
    location.directories.push_back(fid);
  else
    location.file = fid;
  return location;
}

std::optional<Location> FileSystem::findByIdentifier(uint16_t fid) const {
  if (fid == masterFileId) return Location{};
  if (auto location = findChild(fid)) return location;
  const std::vector<uint16_t>& path = current.directories;
  if (!path.empty() && path.back() == fid) return currentDirectoryLocation();
  if (path.size() >= 2 && path[path.size() - 2] == fid)
    return Location{{path.begin(), path.end() - 1}, std::nullopt};
  return std::nullopt;
}

std::optional<Location> FileSystem::findByPath(const Location& start,
                                               std::span<const uint8_t> path) const {
  if (path.size() % 2 != 0) return std::nullopt;
  Location location{start.directories, std::nullopt};
  for (std::size_t offset = 0; offset < path.size(); offset += 2) {
    if (location.file) return std::nullopt;  // an elementary file has no children
    const uint16_t fid = static_cast<uint16_t>(path[offset] << 8 | path[offset + 1]);
    const FileNode* directory = at(location);
    const FileNode* node = directory == nullptr ? nullptr : directory->child(fid);
    if (node == nullptr) return std::nullopt;
    if (node->isDirectory())
      location.directories.push_back(fid);
    else
      location.file = fid;
  }
  return location;
}

}  // namespace korva::sim
