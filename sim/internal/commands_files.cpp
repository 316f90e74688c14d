// SELECT, CREATE FILE, DELETE FILE and ACTIVATE.
#include <algorithm>
#include <variant>

#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/fcp.h"
#include "sim/internal/memory.h"

namespace korva::sim {
namespace {

std::optional<uint16_t> identifierOf(std::span<const uint8_t> data) {
  if (data.size() != 2) return std::nullopt;
  return static_cast<uint16_t>(data[0] << 8 | data[1]);
}

// The file a SELECT names, or the status word to answer.
std::variant<Location, uint16_t> selectionTarget(const FileSystem& files, const Command& command) {
  const std::span<const uint8_t> data = command.data;
  switch (command.p1) {
    case 0x00:  // by identifier; no data: the master file
      if (data.empty()) return Location{};
      if (const auto fid = identifierOf(data)) {
        if (auto location = files.findByIdentifier(*fid)) return *location;
        return sw::fileNotFound;
      }
      return sw::lcInconsistent;
    case 0x01:    // a child directory
    case 0x02: {  // a child elementary file
      const auto fid = identifierOf(data);
      if (!fid) return sw::lcInconsistent;
      const auto location = files.findChild(*fid);
      if (!location || location->file.has_value() != (command.p1 == 0x02)) return sw::fileNotFound;
      return *location;
    }
    case 0x03: {  // the parent directory
      if (!data.empty()) return sw::lcInconsistent;
      Location location = files.currentDirectoryLocation();
      if (location.directories.empty()) return sw::fileNotFound;
      location.directories.pop_back();
      return location;
    }
    case 0x08: {  // path from the master file, its own identifier optional
      if (data.empty() || data.size() % 2 != 0) return sw::lcInconsistent;
      std::span<const uint8_t> path = data;
      if (identifierOf(path.first(2)) == masterFileId) path = path.subspan(2);
      if (auto location = files.findByPath(Location{}, path)) return *location;
      return sw::fileNotFound;
    }
    case 0x09: {  // path from the current directory; one identifier as with P1 00
      if (data.empty() || data.size() % 2 != 0) return sw::lcInconsistent;
      auto location = data.size() == 2 ? files.findByIdentifier(*identifierOf(data))
                                       : files.findByPath(files.currentDirectoryLocation(), data);
      if (location) return *location;
      return sw::fileNotFound;
    }
    default: return sw::wrongP1P2;
  }
}

}  // namespace

Answer selectFile(CardState& card, const Command& command) {
  const bool wantsFcp = command.p2 == 0x00 || command.p2 == 0x04;
  if (!wantsFcp && command.p2 != 0x0C) return statusOnly(sw::wrongP1P2);
  const auto target = selectionTarget(card.files, command);
  if (const uint16_t* status = std::get_if<uint16_t>(&target)) return statusOnly(*status);
  const Location& location = std::get<Location>(target);
  card.files.select(location);
  if (!wantsFcp) return statusOnly(sw::ok);
  const FileNode& node = *card.files.at(location);
  return dataAnswer(buildFcp(node, card.freeMemoryReportedBy(node)));
}

Answer createFile(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  auto parsed = parseCreationTemplate(command.data);
  if (const uint16_t* status = std::get_if<uint16_t>(&parsed)) return statusOnly(*status);
  FileNode& node = std::get<FileNode>(parsed);

  FileNode& directory = card.files.currentDirectory();
  if (!isAllowed(card, directory, Operation::createChild))
    return statusOnly(sw::securityNotSatisfied);
  const bool isOwnIdentifier =
      !card.files.current.directories.empty() && card.files.current.directories.back() == node.fid;
  if (directory.child(node.fid) != nullptr || isOwnIdentifier) return statusOnly(sw::fileExists);
  if (node.isDirectory() && card.files.current.directories.size() >= maxDirectoryDepth)
    return statusOnly(sw::noMemory);
  if (memoryOf(node) > card.freeMemory()) return statusOnly(sw::noMemory);

  if (node.descriptor() == descriptorTransparent || node.descriptor() == descriptorInternal)
    node.body.assign(node.size, 0);
  const uint16_t fid = node.fid;
  const bool isDirectory = node.isDirectory();
  directory.children.push_back(std::move(node));

  // The new file becomes current: a directory as current directory, an
  // elementary file as current file of the unchanged directory.
  Location location = card.files.currentDirectoryLocation();
  if (isDirectory)
    location.directories.push_back(fid);
  else
    location.file = fid;
  card.files.select(location);
  return statusOnly(sw::ok);
}

Answer deleteFile(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  FileSystem& files = card.files;
  std::optional<Location> target;
  if (command.data.empty()) {
    if (files.currentElementaryFile() == nullptr) return statusOnly(sw::noCurrentEf);
    target = files.current;
  } else {
    const auto fid = identifierOf(command.data);
    if (!fid) return statusOnly(sw::wrongLength);
    // Named as SELECT names it: the module deletes 7F 01 while inside it.
    target = files.findByIdentifier(*fid);
    if (!target) return statusOnly(sw::fileNotFound);
  }
  if (target->directories.empty() && !target->file) return statusOnly(sw::noCurrentEf);
  const FileNode* node = files.at(*target);
  if (node == nullptr) return statusOnly(sw::fileNotFound);
  if (!isAllowed(card, *node, Operation::deleteFile)) return statusOnly(sw::securityNotSatisfied);

  Location parent{target->directories, std::nullopt};
  uint16_t fid = 0;
  if (target->file) {
    fid = *target->file;
  } else {
    fid = parent.directories.back();
    parent.directories.pop_back();
  }
  // Deleting a directory frees its whole subtree.
  std::erase_if(files.at(parent)->children,
                [&](const FileNode& child) { return child.fid == fid; });

  // A current file or directory that went with it gives way to the parent.
  const std::vector<uint16_t>& current = files.current.directories;
  const bool insideDeleted =
      !target->file && current.size() >= target->directories.size() &&
      std::equal(target->directories.begin(), target->directories.end(), current.begin());
  if (insideDeleted || files.current == *target) files.select(parent);
  return statusOnly(sw::ok);
}

Answer activateFile(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  if (!command.data.empty()) {
    // With an identifier the file is selected first, as SELECT would.
    const auto fid = identifierOf(command.data);
    if (!fid) return statusOnly(sw::wrongLength);
    const auto location = card.files.findByIdentifier(*fid);
    if (!location) return statusOnly(sw::fileNotFound);
    card.files.select(*location);
  }
  card.files.currentFile().lifeCycle = lifeCycleOperational;
  return statusOnly(sw::ok);
}

}  // namespace korva::sim
