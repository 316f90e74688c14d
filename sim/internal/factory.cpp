#include "sim/internal/factory.h"

#include <string_view>

namespace korva::sim {
namespace {

FileNode directory(uint16_t fid, std::vector<uint8_t> securityAttributes) {
  FileNode node;
  node.fid = fid;
  node.descriptorBytes = {descriptorDirectory};
  node.securityAttributes = std::move(securityAttributes);
  return node;
}

FileNode pinObject(uint16_t fid, uint8_t reference, std::string_view pin,
                   std::vector<uint8_t> securityAttributes) {
  FileNode node;
  node.fid = fid;
  node.descriptorBytes = {descriptorKey};
  node.securityAttributes = std::move(securityAttributes);
  node.proprietary = {0x85, 0x01, keyKindPin, 0x87, 0x01, reference};
  node.secret.assign(pin.begin(), pin.end());  // becomes a wrap: sealPinValues()
  node.triesLeft = pinTries;
  return node;
}

}  // namespace

FileNode factoryFileSystem() {
  // Directories: nobody deletes them; creating files needs the SO PIN,
  // except in the data directory 05 1E.
  FileNode root = directory(masterFileId, {0xFF, 0xFF, 0xFF, 0xFF, 0x05});
  root.children.push_back(directory(0xA1BC, {0xFF, 0xFF, 0xFF, 0xFF, 0x05}));

  FileNode pins = directory(0x051F, {0xFF, 0xFF, 0xFF, 0xFF, 0x05});
  // PIN objects: VERIFY always; the SO PIN changes only by its holder, the
  // user PIN also by the SO, who alone may reset its retry counter.
  pins.children.push_back(
      pinObject(0x0005, 0x05, "87654321", {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF}));
  pins.children.push_back(
      pinObject(0x0007, 0x07, "12345678", {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x05, 0x05, 0xFF}));
  root.children.push_back(std::move(pins));

  root.children.push_back(directory(0x051E, {0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
  return root;
}

}  // namespace korva::sim
