// Key agreement (80 50): VKO GOST R 34.10 between the GOST key object that P2
// names and a peer's public key, with a user keying material.
//
// P1 tells the module's view of the card: 00 a GOST R 34.10-2001 card, 01 a
// GOST R 34.10-2012 one (refused by a 2001 card). The agreement follows the
// key's own standard: a 2001 key agrees with the 2001 function, a 2012 key
// with the 2012 one. Data: the peer's X, its
// Y and the UKM, each with its bytes reversed by the module from the host's
// little-endian form, which makes each a big-endian number as the card reads
// it. The answer is the 32-byte shared key.
#include <variant>

#include "sim/internal/access.h"
#include "sim/internal/commands.h"
#include "sim/internal/key_objects.h"

namespace korva::sim {
namespace {

constexpr std::size_t shortestUkm = 8;
constexpr std::size_t longestUkm = 32;

}  // namespace

Answer keyAgreement(CardState& card, const Command& command) {
  if (command.p1 > 1 || (command.p1 == 1 && !card.options.gost2012))
    return statusOnly(sw::wrongP1P2);
  const auto location = findKeyByReference(card.files, command.p2);
  if (!location) return statusOnly(sw::referenceNotFound);
  const FileNode& file = *card.files.at(*location);
  const auto key = gostKeyOf(file);
  if (!key) return statusOnly(sw::conditionsNotSatisfied);
  if (!isAllowed(card, file, Operation::useKey)) return statusOnly(sw::securityNotSatisfied);

  const std::size_t publicLength = 2 * key->size();
  if (command.data.size() < publicLength + shortestUkm ||
      command.data.size() > publicLength + longestUkm)
    return statusOnly(sw::wrongLength);
  const std::span<const uint8_t> data = command.data;
  const WipedBytes shared =
      key->agreeKey(data.first(publicLength), data.subspan(publicLength), key->agreement());
  if (shared.empty()) return statusOnly(sw::wrongData);  // a point off the curve, a zero UKM
  return dataAnswer({shared.begin(), shared.end()});
}

}  // namespace korva::sim
