// The virtual card's front door: APDU parsing, GET RESPONSE, ENVELOPE
// reassembly, CLA 10 command chaining and the routing of each command to
// its handler.
#include "sim/virtual_card.h"

#include <algorithm>
#include <stdexcept>

#include "sim/internal/card_file.h"
#include "sim/internal/commands.h"
#include "sim/internal/dump.h"
#include "sim/internal/factory.h"
#include "sim/internal/memory.h"
#include "sim/internal/sealing.h"
#include "sim/internal/secrets.h"

namespace korva::sim {
namespace {

constexpr uint8_t isoClass = 0x00;
constexpr uint8_t proprietaryClass = 0x80;
constexpr uint8_t chainingBit = 0x10;
constexpr uint8_t insGetResponse = 0xC0;
constexpr uint8_t insEnvelope = 0xC2;

// How a command takes CLA 10 chaining: not at all, by assembling the parts
// into one command, or piece by piece (each piece runs and answers itself).
enum class Chaining { none, assembled, pieces };

// Whether a command may change what the card file holds. VERIFY and the
// public-key command change it only on some paths; their handlers count
// those changes themselves (a right PIN on a full retry counter changes
// nothing, and signing presents the PIN every time).
enum class Effect { reads, writes };

struct Route {
  uint8_t cls;
  uint8_t ins;
  CommandHandler handler;
  Chaining chaining;
  Effect effect;
};

constexpr Route routes[] = {
    {isoClass, 0xA4, selectFile, Chaining::none, Effect::reads},
    {isoClass, 0xE0, createFile, Chaining::none, Effect::writes},
    {isoClass, 0xE4, deleteFile, Chaining::none, Effect::writes},
    {isoClass, 0x44, activateFile, Chaining::none, Effect::writes},
    {isoClass, 0xB0, readBinary, Chaining::none, Effect::reads},
    {isoClass, 0xD6, updateBinary, Chaining::none, Effect::writes},
    {isoClass, 0xB2, readRecord, Chaining::none, Effect::reads},
    {isoClass, 0xDC, updateRecord, Chaining::none, Effect::writes},
    {isoClass, 0xE2, appendRecord, Chaining::none, Effect::writes},
    {isoClass, 0xDA, putData, Chaining::none, Effect::writes},
    {isoClass, 0x84, getChallenge, Chaining::none, Effect::reads},
    {isoClass, 0x20, verify, Chaining::none, Effect::reads},
    {isoClass, 0x24, changeReferenceData, Chaining::assembled, Effect::writes},
    {isoClass, 0x2C, resetRetryCounter, Chaining::none, Effect::writes},
    {proprietaryClass, 0xFE, cardQuery, Chaining::none, Effect::reads},
    {proprietaryClass, 0x78, cardInformation, Chaining::none, Effect::reads},
    {proprietaryClass, 0x74, keySlotBitmap, Chaining::none, Effect::writes},
    {proprietaryClass, 0x52, resetSecurityState, Chaining::none, Effect::reads},
    {isoClass, 0x22, manageSecurityEnvironment, Chaining::none, Effect::reads},
    {isoClass, 0x2A, performSecurityOperation, Chaining::pieces, Effect::reads},
    {isoClass, 0x46, publicKeyCommand, Chaining::none, Effect::reads},
    {proprietaryClass, 0x76, generateKeyOnCard, Chaining::none, Effect::writes},
    {proprietaryClass, 0x50, keyAgreement, Chaining::none, Effect::reads},
};

const Route* findRoute(uint8_t cls, uint8_t ins) {
  for (const Route& route : routes)
    if (route.cls == cls && route.ins == ins) return &route;
  return nullptr;
}

Answer route(CardState& card, const Command& command) {
  if (const Route* found = findRoute(command.cla, command.ins)) {
    if (found->effect == Effect::writes) ++card.revision;
    return found->handler(card, command);
  }
  const bool otherClass = findRoute(command.cla ^ proprietaryClass, command.ins) != nullptr;
  return statusOnly(otherClass ? sw::claNotSupported : sw::insNotSupported);
}

// CLA 10 marks every part of a chained command but the last; the card
// collects the parts and runs the command when the last one arrives. A
// command chained piece by piece runs each piece at once, told by the
// chaining bit whether more follow.
Answer runChained(CardState& card, Command command) {
  const uint8_t sentClass = command.cla;
  const bool moreFollows = (command.cla & chainingBit) != 0;
  command.cla &= static_cast<uint8_t>(~chainingBit);
  if (card.chain) {
    const CommandChain& chain = *card.chain;
    if (chain.cla != command.cla || chain.ins != command.ins || chain.p1 != command.p1 ||
        chain.p2 != command.p2) {
      card.chain.reset();
      return statusOnly(sw::chainLastExpected);
    }
  }
  const Route* found = findRoute(command.cla, command.ins);
  if (found != nullptr && found->chaining == Chaining::pieces) {
    command.cla = sentClass;
    if (found->effect == Effect::writes) ++card.revision;
    return found->handler(card, command);
  }
  if (moreFollows) {
    if (found == nullptr || found->chaining != Chaining::assembled) {
      card.chain.reset();
      return statusOnly(0x6884);  // command chaining not supported
    }
    if (!card.chain)
      card.chain = CommandChain{command.cla, command.ins, command.p1, command.p2, {}};
    std::vector<uint8_t>& collected = card.chain->data;
    if (collected.size() + command.data.size() > maxAssembledCommand) {
      card.chain.reset();
      return statusOnly(sw::noMemory);
    }
    collected.insert(collected.end(), command.data.begin(), command.data.end());
    return statusOnly(sw::ok);
  }
  if (card.chain) {
    std::vector<uint8_t> whole = std::move(card.chain->data);
    card.chain.reset();
    if (whole.size() + command.data.size() > maxAssembledCommand) return statusOnly(sw::noMemory);
    whole.insert(whole.end(), command.data.begin(), command.data.end());
    command.data = std::move(whole);
  }
  return route(card, command);
}

Answer getResponse(CardState& card, const Command& command) {
  if (command.p1 != 0 || command.p2 != 0) return statusOnly(sw::wrongP1P2);
  std::vector<uint8_t>& pending = card.pendingResponse;
  if (pending.empty()) return statusOnly(sw::conditionsNotSatisfied);
  if (!command.le || !command.data.empty()) return statusOnly(sw::wrongLength);
  std::size_t count = std::min(*command.le, maxAnswerData);
  if (count > pending.size()) {
    if (count != maxAnswerData)
      return statusOnly(static_cast<uint16_t>(sw::wrongLe | pending.size()));
    count = pending.size();  // Le 00: whatever is left
  }
  std::vector<uint8_t> data(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
  if (pending.empty()) return dataAnswer(std::move(data));
  const std::size_t left = pending.size() > 0xFF ? 0 : pending.size();
  return dataAnswer(std::move(data), static_cast<uint16_t>(sw::moreData | left));
}

Answer process(CardState& card, const Command& command, bool enveloped);

// ENVELOPE pieces with data are collected; the empty ENVELOPE runs the
// collected command and answers for it.
Answer envelope(CardState& card, const Command& command, bool enveloped) {
  if (enveloped || command.cla != isoClass) return statusOnly(sw::conditionsNotSatisfied);
  if (command.p1 != 0 || command.p2 != 0) {
    card.envelope.clear();
    return statusOnly(sw::wrongP1P2);
  }
  if (!command.data.empty()) {
    if (card.envelope.size() + command.data.size() > maxAssembledCommand) {
      card.envelope.clear();
      return statusOnly(sw::noMemory);
    }
    card.envelope.insert(card.envelope.end(), command.data.begin(), command.data.end());
    return statusOnly(sw::ok);
  }
  if (card.envelope.empty()) return statusOnly(sw::conditionsNotSatisfied);
  const std::vector<uint8_t> assembled = std::move(card.envelope);
  card.envelope.clear();
  const auto inner = parseCommand(assembled);
  if (!inner) return statusOnly(sw::wrongLength);
  return process(card, *inner, true);
}

Answer process(CardState& card, const Command& command, bool enveloped) {
  const uint8_t cls = command.cla & static_cast<uint8_t>(~chainingBit);
  if (cls != isoClass && cls != proprietaryClass) return statusOnly(sw::claNotSupported);
  if (command.cla == isoClass && command.ins == insGetResponse) return getResponse(card, command);
  card.pendingResponse.clear();
  if (cls == isoClass && command.ins == insEnvelope) return envelope(card, command, enveloped);
  card.envelope.clear();
  return runChained(card, command);
}

// A handler never answers more than 256 bytes; should one do so, the rest
// waits for GET RESPONSE rather than overflow the reader's buffer.
Answer limitAnswer(CardState& card, Answer answer) {
  if (answer.data.size() <= maxAnswerData) return answer;
  card.pendingResponse.assign(answer.data.begin() + maxAnswerData, answer.data.end());
  answer.data.resize(maxAnswerData);
  const std::size_t left = card.pendingResponse.size() > 0xFF ? 0 : card.pendingResponse.size();
  answer.sw1 = 0x61;
  answer.sw2 = static_cast<uint8_t>(left);
  return answer;
}

}  // namespace

uint32_t CardState::freeMemory() const {
  const uint64_t used = memoryOfTree(files.root);
  return used >= options.memorySize ? 0 : static_cast<uint32_t>(options.memorySize - used);
}

uint32_t CardState::freeMemoryReportedBy(const FileNode& node) const {
  const auto reported = reportedFreeMemory.find(node.fid);
  return node.isDirectory() && reported != reportedFreeMemory.end() ? reported->second
                                                                    : freeMemory();
}

void CardState::resetVolatile() {
  sealSecrets(*this);
  verifiedReferences.clear();
  pendingResponse.clear();
  envelope.clear();
  chain.reset();
  environment = {};
  files.current = {};
}

VirtualCard VirtualCard::makeFresh(const CardOptions& options) {
  if (options.memorySize < minimumMemory || options.memorySize > maximumMemory)
    throw std::invalid_argument("card memory size out of range");
  if (options.pinKeyCost < minKdfLog2N || options.pinKeyCost > maxKdfLog2N)
    throw std::invalid_argument("PIN key cost out of range");
  auto state = std::make_unique<CardState>();
  state->options = options;
  state->random = RandomSource(options.randomSeed);
  if (options.identity) {
    state->identity = *options.identity;
  } else if (!state->random.fill(state->identity)) {
    throw std::runtime_error("no random card identity available");
  }
  state->options.identity = state->identity;
  state->files.root = factoryFileSystem();
  // The card that made them knows the factory PINs: it starts open.
  if (!sealPinValues(*state)) throw std::runtime_error("cannot seal the card's PINs");
  return VirtualCard(std::move(state));
}

VirtualCard VirtualCard::load(const std::filesystem::path& cardFile,
                              uint8_t firstFormatPinKeyCost) {
  uint16_t version = 0;
  auto state = std::make_unique<CardState>(parseCardFile(readCardFile(cardFile), &version));
  if (version == firstCardFileVersion) {
    if (firstFormatPinKeyCost < minKdfLog2N || firstFormatPinKeyCost > maxKdfLog2N)
      throw std::invalid_argument("PIN key cost out of range");
    state->options.pinKeyCost = firstFormatPinKeyCost;
    // A card of the first format: its PIN values become wraps, everything
    // is sealed and written back, and the clear file is gone.
    if (!sealPinValues(*state)) throw std::runtime_error("cannot seal the card's PINs");
    writeCardFile(cardFile, serialiseCard(*state));
    if (!sealSecrets(*state)) throw std::runtime_error("cannot seal the card's secrets");
  }
  return VirtualCard(std::move(state));
}

void VirtualCard::save(const std::filesystem::path& cardFile) const {
  writeCardFile(cardFile, serialiseCard(*state_));
}

Answer VirtualCard::transmit(std::span<const uint8_t> apdu) noexcept {
  try {
    const auto command = parseCommand(apdu);
    if (!command) {
      state_->envelope.clear();
      state_->chain.reset();
      return statusOnly(sw::wrongLength);
    }
    return limitAnswer(*state_, process(*state_, *command, false));
  } catch (...) {
    // Only an allocation failure can get here; the command had no effect
    // that a retry could not repeat.
    Answer failure;
    failure.sw1 = 0x6F;
    return failure;
  }
}

void VirtualCard::reset() { state_->resetVolatile(); }

std::array<uint8_t, 8> VirtualCard::identity() const { return state_->identity; }
const CardOptions& VirtualCard::options() const { return state_->options; }
uint32_t VirtualCard::freeMemory() const { return state_->freeMemory(); }
uint64_t VirtualCard::revision() const { return state_->revision; }
void VirtualCard::reportFreeMemory(uint16_t folderFid, uint32_t bytes) {
  state_->reportedFreeMemory[folderFid] = bytes;
}
std::string VirtualCard::dumpTree() const { return dumpFileTree(state_->files.root); }
std::string VirtualCard::damage() const { return state_->damage; }

VirtualCard::VirtualCard(std::unique_ptr<CardState> state) : state_(std::move(state)) {}
VirtualCard::VirtualCard(const VirtualCard& other)
    : state_(std::make_unique<CardState>(*other.state_)) {}
VirtualCard& VirtualCard::operator=(const VirtualCard& other) {
  if (this != &other) state_ = std::make_unique<CardState>(*other.state_);
  return *this;
}
VirtualCard::VirtualCard(VirtualCard&&) noexcept = default;
VirtualCard& VirtualCard::operator=(VirtualCard&&) noexcept = default;
VirtualCard::~VirtualCard() = default;

}  // namespace korva::sim
