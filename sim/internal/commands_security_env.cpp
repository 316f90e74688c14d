// MANAGE SECURITY ENVIRONMENT: RESTORE (00 22 F3 00) and SET (00 22 C1 tt)
// with the digital signature template (B6) or the confidentiality template
// (B8). The module gives these commands a two-byte answer buffer: they answer
// status words only.
#include <variant>

#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/tlv.h"

namespace korva::sim {
namespace {

constexpr uint8_t restoreP1 = 0xF3;
constexpr uint8_t setP1 = 0xC1;
constexpr uint8_t signatureTemplate = 0xB6;
constexpr uint8_t confidentialityTemplate = 0xB8;

constexpr uint8_t tagKeyReference = 0x83;
constexpr uint8_t tagMechanism = 0x8C;
constexpr uint8_t tagInitialVector = 0x87;

// What one SET command names; each part is optional.
struct SetRequest {
  std::optional<Location> key;
  std::optional<uint8_t> mode;
  std::optional<std::vector<uint8_t>> iv;
};

// Reads the control reference template; on failure the status word.
std::variant<SetRequest, uint16_t> readSetRequest(const CardState& card, const Command& command) {
  const auto entries = parseTlvs(command.data);
  if (!entries || entries->empty()) return sw::wrongData;
  const bool confidentiality = command.p2 == confidentialityTemplate;
  SetRequest request;
  for (const Tlv& entry : *entries) {
    switch (entry.tag) {
      case tagKeyReference: {
        if (entry.value.size() != 1) return sw::wrongData;
        request.key = findKeyByReference(card.files, entry.value[0]);
        if (!request.key) return sw::referenceNotFound;
        break;
      }
      case tagMechanism:
        if (!confidentiality || entry.value.size() != 1) return sw::wrongData;
        if (entry.value[0] != cipherModeEcb && entry.value[0] != cipherModeCbc)
          return sw::wrongData;
        request.mode = entry.value[0];
        break;
      case tagInitialVector:
        if (!confidentiality || (entry.value.size() != 8 && entry.value.size() != 16))
          return sw::wrongData;
        request.iv.emplace(entry.value.begin(), entry.value.end());
        break;
      default: return sw::wrongData;
    }
  }
  return request;
}

}  // namespace

Answer manageSecurityEnvironment(CardState& card, const Command& command) {
  SecurityEnvironment& environment = card.environment;
  if (command.p1 == restoreP1) {
    // The card keeps one environment, number 00.
    if (command.p2 != 0) return statusOnly(sw::wrongP1P2);
    if (!command.data.empty()) return statusOnly(sw::wrongLength);
    environment = {};
    return statusOnly(sw::ok);
  }
  if (command.p1 != setP1 ||
      (command.p2 != signatureTemplate && command.p2 != confidentialityTemplate))
    return statusOnly(sw::wrongP1P2);

  auto parsed = readSetRequest(card, command);
  if (const uint16_t* status = std::get_if<uint16_t>(&parsed)) return statusOnly(*status);
  SetRequest& request = std::get<SetRequest>(parsed);

  if (command.p2 == signatureTemplate) {
    if (!request.key) return statusOnly(sw::wrongData);
    environment.signingKey = request.key;
    return statusOnly(sw::ok);
  }
  // A new key starts a new cipher environment; the initial vector may come
  // with it or in a command of its own.
  if (request.key) {
    environment.confidentialityKey = request.key;
    environment.cipherMode = request.mode;
    environment.iv.clear();
  } else if (request.mode) {
    return statusOnly(sw::wrongData);
  }
  if (request.iv) {
    if (!environment.confidentialityKey) return statusOnly(sw::conditionsNotSatisfied);
    environment.iv = std::move(*request.iv);
  }
  environment.chainingValue.clear();
  return statusOnly(sw::ok);
}

}  // namespace korva::sim
