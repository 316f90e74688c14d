// Card-level commands: random challenge, card identity and capability,
// card information record, key-slot bitmap and RESET SECURITY STATE.
#include <algorithm>

#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/memory.h"

namespace korva::sim {
namespace {

constexpr std::size_t capabilityLength = 31;
constexpr std::size_t capabilityKindOffset = 29;  // 1: GOST R 34.10-2001 only
constexpr std::size_t identityRecordLength = 32;  // the identity, then reserved zero bytes
constexpr std::size_t informationLength = 127;    // one byte per key number 1..127
constexpr std::size_t bitmapLength = 16;

std::vector<uint8_t> capabilityAnswer(const CardOptions& options) {
  std::vector<uint8_t> answer(capabilityLength, 0);
  answer[capabilityKindOffset] = options.gost2012 ? 0 : 1;
  return answer;
}

// Byte n - 1 describes key number n: 0 when the key directory holds no key
// object F0 nn, else that object's key-kind byte (01 when it has none).
std::vector<uint8_t> informationRecord(const FileSystem& files) {
  std::vector<uint8_t> record(informationLength, 0);
  const FileNode* keys = files.root.child(keyDirectoryId);
  if (keys == nullptr) return record;
  for (const FileNode& key : keys->children) {
    const unsigned number = key.fid - keyObjectBase;
    if (!key.isKeyFile() || key.fid < keyObjectBase || number == 0 || number > informationLength)
      continue;
    const uint8_t kind = key.proprietaryByte(0x85).value_or(0);
    record[number - 1] = kind != 0 ? kind : 0x01;
  }
  return record;
}

}  // namespace

Answer getChallenge(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  if (!command.data.empty() || !command.le) return statusOnly(sw::wrongLength);
  std::vector<uint8_t> challenge(std::min<std::size_t>(*command.le, maxAnswerData));
  if (!card.random.fill(challenge)) return statusOnly(0x6F00);
  return dataAnswer(std::move(challenge));
}

Answer cardQuery(CardState& card, const Command& command) {
  if (command.p2 != 0) return statusOnly(sw::wrongP1P2);
  switch (command.p1) {
    case 0x00: return answerExactly(command, capabilityAnswer(card.options));
    case 0x06: {
      // The identity waits for GET RESPONSE: 61 20, then 8 bytes and 61 18.
      card.pendingResponse.assign(card.identity.begin(), card.identity.end());
      card.pendingResponse.resize(identityRecordLength, 0);
      return statusOnly(static_cast<uint16_t>(sw::moreData | identityRecordLength));
    }
    default: return statusOnly(sw::wrongP1P2);
  }
}

Answer cardInformation(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  std::vector<uint8_t> record = informationRecord(card.files);
  if (command.le == record.size()) return dataAnswer(std::move(record));
  // Any other length is told 6C 7F and may fetch the record with GET RESPONSE.
  card.pendingResponse = std::move(record);
  return statusOnly(static_cast<uint16_t>(sw::wrongLe | informationLength));
}

Answer keySlotBitmap(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  if (command.data.size() != bitmapLength) return statusOnly(sw::wrongLength);
  FileNode* keys = card.files.root.child(keyDirectoryId);
  if (keys == nullptr) return statusOnly(sw::ok);
  // Bit 7 of byte 0 is key 1, bit 0 of byte 15 key 128.
  const auto isMarked = [&](const FileNode& key) {
    if (!key.isKeyFile() || key.fid < keyObjectBase) return false;
    const unsigned number = key.fid - keyObjectBase;
    if (number == 0 || number > bitmapLength * 8) return false;
    const unsigned bit = number - 1;
    return (command.data[bit / 8] & (0x80 >> (bit % 8))) != 0;
  };
  std::erase_if(keys->children, isMarked);
  return statusOnly(sw::ok);
}

Answer resetSecurityState(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  card.verifiedReferences.clear();
  return statusOnly(sw::ok);
}

}  // namespace korva::sim
