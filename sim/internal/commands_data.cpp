// READ/UPDATE BINARY, READ/UPDATE/APPEND RECORD and PUT DATA on the current
// elementary file.
#include <algorithm>
#include <variant>

#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/memory.h"

namespace korva::sim {
namespace {

bool hasBody(const FileNode& file) {
  return file.descriptor() == descriptorTransparent || file.descriptor() == descriptorInternal;
}

// The current elementary file when it has the wanted structure and allows
// the operation; otherwise the status word to answer.
std::variant<FileNode*, uint16_t> targetFile(CardState& card, bool (*hasStructure)(const FileNode&),
                                             Operation operation) {
  FileNode* file = card.files.currentElementaryFile();
  if (file == nullptr) return sw::noCurrentEf;
  if (!hasStructure(*file)) return sw::incompatibleFile;
  if (!isAllowed(card, *file, operation)) return sw::securityNotSatisfied;
  return file;
}

bool isRecordFile(const FileNode& file) { return file.descriptor() == descriptorLinearFixed; }
bool isElementary(const FileNode& file) { return !file.isDirectory(); }

// P1-P2 is the whole 16-bit offset: the card has no short file identifiers.
std::size_t offsetOf(const Command& command) {
  return static_cast<std::size_t>(command.p1) << 8 | command.p2;
}

// Record commands address one record by number: P2 04, P1 the number.
bool isRecordNumberAddressing(const Command& command) {
  return command.p2 == 0x04 && command.p1 != 0;
}

}  // namespace

Answer readBinary(CardState& card, const Command& command) {
  auto target = targetFile(card, hasBody, Operation::read);
  if (const uint16_t* status = std::get_if<uint16_t>(&target)) return statusOnly(*status);
  const FileNode& file = *std::get<FileNode*>(target);
  if (!command.le) return statusOnly(sw::wrongLength);
  const std::size_t offset = offsetOf(command);
  if (offset >= file.body.size()) return statusOnly(sw::wrongOffset);
  const std::size_t available = file.body.size() - offset;
  const std::size_t wanted = std::min<std::size_t>(*command.le, maxAnswerData);
  // Le 00 reads what there is, up to 256 bytes; an explicit Le past the end
  // is told the exact length.
  if (wanted > available && wanted != maxAnswerData)
    return statusOnly(static_cast<uint16_t>(sw::wrongLe | available));
  const std::size_t count = std::min(wanted, available);
  const auto begin = file.body.begin() + static_cast<std::ptrdiff_t>(offset);
  return dataAnswer({begin, begin + static_cast<std::ptrdiff_t>(count)});
}

Answer updateBinary(CardState& card, const Command& command) {
  auto target = targetFile(card, hasBody, Operation::update);
  if (const uint16_t* status = std::get_if<uint16_t>(&target)) return statusOnly(*status);
  FileNode& file = *std::get<FileNode*>(target);
  if (command.data.empty()) return statusOnly(sw::wrongLength);
  const std::size_t offset = offsetOf(command);
  if (offset >= file.body.size()) return statusOnly(sw::wrongOffset);
  if (command.data.size() > file.body.size() - offset) return statusOnly(sw::noMemory);
  std::copy(command.data.begin(), command.data.end(),
            file.body.begin() + static_cast<std::ptrdiff_t>(offset));
  return statusOnly(sw::ok);
}

Answer readRecord(CardState& card, const Command& command) {
  auto target = targetFile(card, isRecordFile, Operation::read);
  if (const uint16_t* status = std::get_if<uint16_t>(&target)) return statusOnly(*status);
  const FileNode& file = *std::get<FileNode*>(target);
  if (!isRecordNumberAddressing(command)) return statusOnly(sw::wrongP1P2);
  if (command.p1 > file.records.size()) return statusOnly(sw::recordNotFound);
  const std::vector<uint8_t>& record = file.records[command.p1 - 1u];
  if (command.le != record.size()) {
    return statusOnly(static_cast<uint16_t>(sw::wrongLe | (record.size() & 0xFF)));
  }
  return dataAnswer(record);
}

Answer updateRecord(CardState& card, const Command& command) {
  auto target = targetFile(card, isRecordFile, Operation::update);
  if (const uint16_t* status = std::get_if<uint16_t>(&target)) return statusOnly(*status);
  FileNode& file = *std::get<FileNode*>(target);
  if (!isRecordNumberAddressing(command)) return statusOnly(sw::wrongP1P2);
  if (command.p1 > file.records.size()) return statusOnly(sw::recordNotFound);
  if (command.data.size() != file.recordLength()) return statusOnly(sw::wrongLength);
  file.records[command.p1 - 1u] = command.data;
  return statusOnly(sw::ok);
}

Answer appendRecord(CardState& card, const Command& command) {
  auto target = targetFile(card, isRecordFile, Operation::append);
  if (const uint16_t* status = std::get_if<uint16_t>(&target)) return statusOnly(*status);
  FileNode& file = *std::get<FileNode*>(target);
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  if (command.data.size() != file.recordLength()) return statusOnly(sw::wrongLength);
  if (file.records.size() >= file.recordCapacity()) return statusOnly(sw::noMemory);
  file.records.push_back(command.data);
  return statusOnly(sw::ok);
}

Answer putData(CardState& card, const Command& command) {
  auto target = targetFile(card, isElementary, Operation::update);
  if (const uint16_t* status = std::get_if<uint16_t>(&target)) return statusOnly(*status);
  FileNode& file = *std::get<FileNode*>(target);
  if (command.data.empty()) return statusOnly(sw::wrongLength);
  const uint16_t tag = static_cast<uint16_t>(command.p1 << 8 | command.p2);
  const auto existing = file.dataObjects.find(tag);
  const std::size_t oldSize = existing == file.dataObjects.end() ? 0 : 2 + existing->second.size();
  if (existing == file.dataObjects.end() && file.dataObjects.size() >= maxDataObjectsPerFile)
    return statusOnly(sw::noMemory);
  if (2 + command.data.size() > card.freeMemory() + oldSize) return statusOnly(sw::noMemory);
  file.dataObjects[tag] = command.data;
  return statusOnly(sw::ok);
}

}  // namespace korva::sim
