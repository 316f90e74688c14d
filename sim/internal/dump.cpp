#include "sim/internal/dump.h"

#include <cstdio>
#include <span>

namespace korva::sim {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

std::string hex16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return hex(bytes);
}

void dumpNode(const FileNode& node, const std::string& indent, std::string& out) {
  out += indent + hex16(node.fid) + " fd=" + hex(node.descriptorBytes);
  out += " lc=" + hex(std::span<const uint8_t>(&node.lifeCycle, 1));
  if (!node.isDirectory() || node.sizeGiven) out += " size=" + std::to_string(node.size);
  if (!node.securityAttributes.empty()) out += " sa=" + hex(node.securityAttributes);
  if (!node.name.empty()) out += " name=" + hex(node.name);
  if (!node.proprietary.empty()) out += " a5=" + hex(node.proprietary);
  if (node.isPinObject()) out += " tries=" + std::to_string(node.triesLeft);
  if (!node.secret.empty()) out += " secret=" + hex(node.secret);
  if (!node.pinWrap.empty()) out += " pin";
  if (!node.sealed.empty()) out += " sealed";
  out += '\n';
  if (!node.body.empty()) out += indent + "  body=" + hex(node.body) + '\n';
  for (std::size_t i = 0; i < node.records.size(); ++i)
    out += indent + "  record " + std::to_string(i + 1) + '=' + hex(node.records[i]) + '\n';
  for (const auto& [tag, value] : node.dataObjects)
    out += indent + "  data " + hex16(tag) + '=' + hex(value) + '\n';
  for (const FileNode& child : node.children) dumpNode(child, indent + "  ", out);
}

}  // namespace

std::string dumpFileTree(const FileNode& root) {
  std::string out;
  dumpNode(root, "", out);
  return out;
}

}  // namespace korva::sim
