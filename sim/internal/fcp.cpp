#include "sim/internal/fcp.h"

#include <array>

#include "sim/internal/apdu.h"
#include "sim/internal/memory.h"
#include "sim/internal/tlv.h"

namespace korva::sim {
namespace {

std::optional<uint32_t> bigEndian(std::span<const uint8_t> value) {
  if (value.empty() || value.size() > 4) return std::nullopt;
  uint32_t number = 0;
  for (uint8_t byte : value) number = number << 8 | byte;
  return number;
}

bool isKnownDescriptor(uint8_t descriptor) {
  switch (descriptor) {
    case descriptorTransparent:
    case descriptorLinearFixed:
    case descriptorKey:
    case descriptorInternal:
    case descriptorDirectory: return true;
    default: return false;
  }
}

void appendNumber(std::vector<uint8_t>& out, uint8_t tag, uint64_t number) {
  std::vector<uint8_t> bytes;
  const std::size_t width = number > 0xFFFF ? 4 : 2;
  for (std::size_t i = width; i-- > 0;) bytes.push_back(static_cast<uint8_t>(number >> (8 * i)));
  appendTlv(out, tag, bytes);
}

// A5 of a directory: what was written at creation, with the free memory in 82.
std::vector<uint8_t> directoryProprietary(const FileNode& node, uint32_t freeMemory) {
  std::vector<uint8_t> out;
  if (const auto entries = parseTlvs(node.proprietary)) {
    for (const Tlv& entry : *entries)
      if (entry.tag != 0x82) appendTlv(out, entry.tag, entry.value);
  }
  const std::array<uint8_t, 4> free{
      static_cast<uint8_t>(freeMemory >> 24), static_cast<uint8_t>(freeMemory >> 16),
      static_cast<uint8_t>(freeMemory >> 8), static_cast<uint8_t>(freeMemory)};
  appendTlv(out, 0x82, free);
  return out;
}

// A5 of a key file: what was written at creation; a key attribute byte that
// a key file always reports (85, 8E, 87, 89) reads 00 when it was not given.
std::vector<uint8_t> keyProprietary(const FileNode& node) {
  std::vector<uint8_t> out = node.proprietary;
  for (uint8_t tag : {0x85, 0x8E, 0x87, 0x89}) {
    if (!findTlv(node.proprietary, tag)) {
      const std::array<uint8_t, 1> zero{0};
      appendTlv(out, tag, zero);
    }
  }
  return out;
}

}  // namespace

bool isKnownLifeCycle(uint8_t lifeCycle) {
  return lifeCycle == 0x01 || lifeCycle == 0x03 || lifeCycle == 0x04 || lifeCycle == 0x05;
}

bool isValidDescriptorField(std::span<const uint8_t> value) {
  if (value.empty() || !isKnownDescriptor(value[0])) return false;
  if (value[0] == descriptorLinearFixed) return value.size() == 3 && value[2] != 0;
  return value.size() <= 2;
}

std::variant<FileNode, uint16_t> parseCreationTemplate(std::span<const uint8_t> data) {
  const auto outer = parseTlvs(data);
  if (!outer || outer->size() != 1 || (*outer)[0].tag != 0x62) return sw::wrongData;
  const auto entries = parseTlvs((*outer)[0].value);
  if (!entries) return sw::wrongData;

  FileNode node;
  bool haveDescriptor = false;
  bool haveIdentifier = false;
  for (const Tlv& entry : *entries) {
    switch (entry.tag) {
      case 0x80: {
        const auto size = bigEndian(entry.value);
        if (!size) return sw::wrongData;
        node.size = *size;
        node.sizeGiven = true;
        break;
      }
      case 0x82:
        if (!isValidDescriptorField(entry.value)) return sw::wrongData;
        node.descriptorBytes.assign(entry.value.begin(), entry.value.end());
        haveDescriptor = true;
        break;
      case 0x83:
        if (entry.value.size() != 2) return sw::wrongData;
        node.fid = static_cast<uint16_t>(entry.value[0] << 8 | entry.value[1]);
        haveIdentifier = true;
        break;
      case 0x84:
        if (entry.value.size() > maxNameLength) return sw::wrongData;
        node.name.assign(entry.value.begin(), entry.value.end());
        break;
      case 0x86:
        if (entry.value.size() > maxSecurityAttributes) return sw::wrongData;
        node.securityAttributes.assign(entry.value.begin(), entry.value.end());
        break;
      case 0x8A:
        if (entry.value.size() != 1 || !isKnownLifeCycle(entry.value[0])) return sw::wrongData;
        node.lifeCycle = entry.value[0];
        break;
      case 0xA5:
        if (entry.value.size() > maxProprietaryLength || !parseTlvs(entry.value))
          return sw::wrongData;
        node.proprietary.assign(entry.value.begin(), entry.value.end());
        break;
      default: break;  // 81 and other tags are accepted and not kept
    }
  }
  if (!haveDescriptor || !haveIdentifier) return sw::wrongData;
  if (node.fid == masterFileId || node.fid == 0x3FFF || node.fid == 0xFFFF) return sw::wrongData;
  if (node.isKeyFile()) node.size = 0;  // a key object's room is fixed
  if (node.isPinObject()) node.triesLeft = pinTries;
  return node;
}

std::vector<uint8_t> buildFcp(const FileNode& node, uint32_t freeMemory) {
  std::vector<uint8_t> inner;
  if (!node.isDirectory() || node.sizeGiven) appendNumber(inner, 0x80, node.size);
  if (!node.isDirectory()) appendNumber(inner, 0x81, memoryOf(node));
  appendTlv(inner, 0x82, node.descriptorBytes);
  const std::array<uint8_t, 2> fid{static_cast<uint8_t>(node.fid >> 8),
                                   static_cast<uint8_t>(node.fid)};
  appendTlv(inner, 0x83, fid);
  if (!node.name.empty()) appendTlv(inner, 0x84, node.name);
  const std::array<uint8_t, 1> lifeCycle{node.lifeCycle};
  appendTlv(inner, 0x8A, lifeCycle);
  if (!node.securityAttributes.empty()) appendTlv(inner, 0x86, node.securityAttributes);

  if (node.isDirectory())
    appendTlv(inner, 0xA5, directoryProprietary(node, freeMemory));
  else if (node.isKeyFile())
    appendTlv(inner, 0xA5, keyProprietary(node));
  else if (!node.proprietary.empty())
    appendTlv(inner, 0xA5, node.proprietary);

  std::vector<uint8_t> fcp;
  appendTlv(fcp, 0x62, inner);
  return fcp;
}

}  // namespace korva::sim
