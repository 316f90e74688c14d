#include "sim/internal/secrets.h"

#include <algorithm>
#include <stdexcept>

#include "sim/crypto/rsa_key.h"
#include "sim/internal/access.h"
#include "sim/internal/key_objects.h"
#include "sim/internal/sealing.h"

namespace korva::sim {
namespace {

constexpr std::size_t rsaPublicPart = crypto::kRsaExponentBytes + crypto::kRsaModulusBytes;

template <typename Node, typename Visit>
void forEachNode(Node& node, const Visit& visit) {
  visit(node);
  for (auto& child : node.children) forEachNode(child, visit);
}

// A node's secret split into the part that stays readable and the part to
// seal. An RSA key file keeps its public key readable; a GOST key object
// keeps its public key in `publicKey` instead.
struct Parts {
  std::span<const uint8_t> clear;
  std::span<const uint8_t> hidden;
};

Parts partsOf(const FileNode& node) {
  if (isConfidentialBody(node)) return {{}, node.body};
  if (!node.isKeyFile() || node.isPinObject()) return {};
  const std::span<const uint8_t> material = node.secret;
  if (isRsaKeyFile(node) && material.size() >= rsaPublicPart)
    return {material.first(rsaPublicPart), material.subspan(rsaPublicPart)};
  return {{}, material};
}

std::string pathText(const std::vector<uint16_t>& path) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint16_t fid : path) {
    if (!text.empty()) text += '/';
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(fid >> shift) & 0x0F];
  }
  return text;
}

bool openNode(const CardState& card, FileNode& node, const WipedBytes& key) {
  if (node.sealed.empty()) return true;
  auto plain = openValue(key, node.sealed, sealingContext(card, node, purposeSecret));
  if (!plain) return false;
  if (isConfidentialBody(node)) {
    if (plain->size() != node.body.size()) return false;
    std::copy(plain->begin(), plain->end(), node.body.begin());
  } else {
    node.secret.insert(node.secret.end(), plain->begin(), plain->end());
  }
  return true;
}

// The first node (by path) whose sealed value does not open; empty when all do.
bool findDamage(const CardState& card, const FileNode& node, const WipedBytes& key,
                std::vector<uint16_t>& path) {
  path.push_back(node.fid);
  if (!node.sealed.empty() &&
      !openValue(key, node.sealed, sealingContext(card, node, purposeSecret)))
    return true;
  for (const FileNode& child : node.children)
    if (findDamage(card, child, key, path)) return true;
  path.pop_back();
  return false;
}

}  // namespace

std::vector<uint8_t> sealingContext(const CardState& card, const FileNode& node, uint8_t purpose) {
  std::vector<uint8_t> context(card.identity.begin(), card.identity.end());
  context.push_back(purpose);
  context.push_back(static_cast<uint8_t>(node.fid >> 8));
  context.push_back(static_cast<uint8_t>(node.fid));
  return context;
}

std::vector<uint8_t> gostPublicForm(const FileNode& node) {
  const auto key = gostKeyOf(node);
  if (!key) return {};
  std::vector<uint8_t> form{key->curveCode()};
  const std::vector<uint8_t> point = key->publicKey();
  if (point.empty()) return {};
  form.insert(form.end(), point.begin(), point.end());
  return form;
}

SealedForm sealedFormOf(const CardState& card, const FileNode& node) {
  if (!node.sealed.empty()) return {{node.secret.begin(), node.secret.end()}, node.sealed};
  const Parts parts = partsOf(node);
  SealedForm form{{parts.clear.begin(), parts.clear.end()}, {}};
  // A sealed card holds no secret in the clear, except the zero body of a
  // file made since it was sealed: that is written as it is.
  if (parts.hidden.empty() || !card.storageKey) {
    if (!parts.hidden.empty() && !isConfidentialBody(node))
      throw std::runtime_error("a secret of the virtual card has no storage key to seal it");
    return form;
  }
  form.sealed =
      sealValue(*card.storageKey, parts.hidden, sealingContext(card, node, purposeSecret));
  if (form.sealed.empty()) throw std::runtime_error("cannot seal a secret of the virtual card");
  return form;
}

bool sealPinValues(CardState& card) {
  WipedBytes key = newStorageKey();
  if (key.empty()) return false;
  const KdfCost cost{card.options.pinKeyCost, KdfCost{}.blockSize, KdfCost{}.parallelism};
  bool sealed = true;
  forEachNode(card.files.root, [&](FileNode& node) {
    if (isGostKeyObject(node) && node.publicKey.empty()) node.publicKey = gostPublicForm(node);
    if (!node.isPinObject() || node.secret.empty()) return;
    node.pinWrap =
        card.pinKeys.wrap(node.secret, key, cost, sealingContext(card, node, purposePinWrap));
    node.secret.clear();
    sealed = sealed && !node.pinWrap.empty();
  });
  if (sealed) card.storageKey = std::move(key);
  return sealed;
}

bool openSecrets(CardState& card, const WipedBytes& storageKey) {
  std::vector<uint16_t> path;
  if (findDamage(card, card.files.root, storageKey, path)) {
    card.damage =
        "card file is damaged: the sealed secret of " + pathText(path) + " does not authenticate";
    return false;
  }
  forEachNode(card.files.root, [&](FileNode& node) {
    if (openNode(card, node, storageKey)) node.sealed.clear();
  });
  card.storageKey = storageKey;
  card.damage.clear();
  return true;
}

bool sealSecrets(CardState& card) {
  if (!card.storageKey) return true;
  std::vector<std::pair<FileNode*, SealedForm>> forms;
  try {
    forEachNode(card.files.root, [&](FileNode& node) {
      SealedForm form = sealedFormOf(card, node);
      if (!form.sealed.empty()) forms.emplace_back(&node, std::move(form));
    });
  } catch (const std::runtime_error&) {
    return false;
  }
  for (auto& [node, form] : forms) {
    if (isConfidentialBody(*node)) {
      std::fill(node->body.begin(), node->body.end(), 0);
    } else {
      node->secret.assign(form.clear.begin(), form.clear.end());
    }
    node->sealed = std::move(form.sealed);
  }
  card.storageKey.reset();
  return true;
}

bool renewStorageKey(CardState& card, const FileNode& except) {
  if (!card.storageKey) return false;
  WipedBytes key = newStorageKey();
  if (key.empty()) return false;
  bool complete = true;
  forEachNode(card.files.root, [&](const FileNode& node) {
    if (&node != &except && !node.pinWrap.empty())
      complete = complete && card.pinKeys.knows(node.pinWrap);
  });
  if (!complete) return false;
  std::vector<std::pair<FileNode*, std::vector<uint8_t>>> wraps;
  forEachNode(card.files.root, [&](FileNode& node) {
    if (&node == &except || node.pinWrap.empty()) return;
    auto renewed =
        card.pinKeys.rewrap(node.pinWrap, key, sealingContext(card, node, purposePinWrap));
    if (renewed) wraps.emplace_back(&node, std::move(*renewed));
    complete = complete && renewed.has_value();
  });
  if (!complete) return false;  // only a failed generator: the old key stays
  for (auto& [node, wrap] : wraps) node->pinWrap = std::move(wrap);
  card.storageKey = std::move(key);
  return true;
}

}  // namespace korva::sim
