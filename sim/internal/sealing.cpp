#include "sim/internal/sealing.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>

#include "common/openssl_ptr.h"

namespace korva::sim {
namespace {

constexpr std::size_t nonceLength = 12;
constexpr std::size_t tagLength = 16;
constexpr std::size_t saltLength = 16;
constexpr std::size_t costLength = 3;

using KdfPtr = OpenSslPtr<EVP_KDF, EVP_KDF_free>;
using KdfCtxPtr = OpenSslPtr<EVP_KDF_CTX, EVP_KDF_CTX_free>;

// scrypt through OpenSSL's KDF interface; empty on failure.
WipedBytes derivePinKey(std::span<const uint8_t> pin, std::span<const uint8_t> salt,
                        const KdfCost& cost) {
  const KdfPtr kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_SCRYPT, nullptr));
  const KdfCtxPtr context(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  if (!context) return {};
  uint64_t n = uint64_t{1} << cost.log2N;
  uint32_t r = cost.blockSize;
  uint32_t p = cost.parallelism;
  // scrypt takes 128 * r * N bytes; allow exactly what the cost needs.
  uint64_t memory = 128 * uint64_t{r} * n * p + (1u << 20);
  static const uint8_t none = 0;
  const OSSL_PARAM parameters[] = {
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD,
                                        const_cast<uint8_t*>(pin.empty() ? &none : pin.data()),
                                        pin.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt.data()),
                                        salt.size()),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &memory),
      OSSL_PARAM_construct_end(),
  };
  WipedBytes key(storageKeyLength);
  if (EVP_KDF_derive(context.get(), key.data(), key.size(), parameters) != 1) return {};
  return key;
}

std::vector<uint8_t> costBytes(const KdfCost& cost) {
  return {cost.log2N, cost.blockSize, cost.parallelism};
}

bool isAcceptable(const KdfCost& cost) {
  return cost.log2N >= minKdfLog2N && cost.log2N <= maxKdfLog2N && cost.blockSize >= 1 &&
         cost.blockSize <= 32 && cost.parallelism == 1;
}

// The derived key of a wrap opens its sealed storage key.
std::optional<WipedBytes> openWithDerivedKey(std::span<const uint8_t> wrap,
                                             std::span<const uint8_t> derivedKey,
                                             std::span<const uint8_t> context) {
  auto key = openValue(derivedKey, wrap.subspan(costLength + saltLength), context);
  if (!key || key->size() != storageKeyLength) return std::nullopt;
  return key;
}

}  // namespace

WipedBytes newStorageKey() {
  WipedBytes key(storageKeyLength);
  if (RAND_priv_bytes(key.data(), static_cast<int>(key.size())) != 1) return {};
  return key;
}

std::vector<uint8_t> sealValue(std::span<const uint8_t> key, std::span<const uint8_t> plain,
                               std::span<const uint8_t> context) {
  std::vector<uint8_t> sealed(nonceLength + plain.size() + tagLength);
  // A random nonce for every sealing: the card seals again at every save,
  // so a counter would have to survive in the file.
  if (key.size() != storageKeyLength || RAND_bytes(sealed.data(), nonceLength) != 1) return {};
  const EvpCipherCtxPtr cipher(EVP_CIPHER_CTX_new());
  int length = 0;
  if (!cipher ||
      EVP_EncryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) !=
          1 ||
      EVP_EncryptUpdate(cipher.get(), nullptr, &length, context.data(),
                        static_cast<int>(context.size())) != 1 ||
      (!plain.empty() && EVP_EncryptUpdate(cipher.get(), sealed.data() + nonceLength, &length,
                                           plain.data(), static_cast<int>(plain.size())) != 1) ||
      EVP_EncryptFinal_ex(cipher.get(), sealed.data() + nonceLength + plain.size(), &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_GET_TAG, tagLength,
                          sealed.data() + nonceLength + plain.size()) != 1)
    return {};
  return sealed;
}

std::optional<WipedBytes> openValue(std::span<const uint8_t> key, std::span<const uint8_t> sealed,
                                    std::span<const uint8_t> context) {
  if (key.size() != storageKeyLength || sealed.size() < sealOverhead) return std::nullopt;
  const std::size_t plainLength = sealed.size() - sealOverhead;
  WipedBytes plain(plainLength + 1);  // never empty: data() is then a valid pointer
  std::array<uint8_t, tagLength> tag{};
  std::copy(sealed.end() - tagLength, sealed.end(), tag.begin());
  const EvpCipherCtxPtr cipher(EVP_CIPHER_CTX_new());
  int length = 0;
  if (!cipher ||
      EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) !=
          1 ||
      EVP_DecryptUpdate(cipher.get(), nullptr, &length, context.data(),
                        static_cast<int>(context.size())) != 1 ||
      (plainLength != 0 &&
       EVP_DecryptUpdate(cipher.get(), plain.data(), &length, sealed.data() + nonceLength,
                         static_cast<int>(plainLength)) != 1) ||
      EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, tagLength, tag.data()) != 1 ||
      EVP_DecryptFinal_ex(cipher.get(), plain.data() + plainLength, &length) != 1)
    return std::nullopt;
  plain.resize(plainLength);
  return plain;
}

std::optional<KdfCost> wrapCost(std::span<const uint8_t> wrap) {
  if (wrap.size() != pinWrapLength) return std::nullopt;
  const KdfCost cost{wrap[0], wrap[1], wrap[2]};
  if (!isAcceptable(cost)) return std::nullopt;
  return cost;
}

PinKeys::PinKeys() : macKey_(32) {
  if (RAND_priv_bytes(macKey_.data(), static_cast<int>(macKey_.size())) != 1) macKey_.clear();
}

std::array<uint8_t, 32> PinKeys::pinMac(std::span<const uint8_t> pin) const {
  std::array<uint8_t, 32> mac{};
  unsigned int length = 0;
  static const uint8_t none = 0;
  HMAC(EVP_sha256(), macKey_.data(), static_cast<int>(macKey_.size()),
       pin.empty() ? &none : pin.data(), pin.size(), mac.data(), &length);
  return mac;
}

void PinKeys::remember(std::vector<uint8_t> wrap, std::span<const uint8_t> pin,
                       WipedBytes derivedKey) {
  if (macKey_.empty()) return;  // no MAC key: every VERIFY derives
  std::vector<uint8_t> salt(wrap.begin() + costLength, wrap.begin() + costLength + saltLength);
  known_[std::move(salt)] = Known{std::move(wrap), pinMac(pin), std::move(derivedKey)};
}

std::optional<WipedBytes> PinKeys::open(std::span<const uint8_t> wrap, std::span<const uint8_t> pin,
                                        std::span<const uint8_t> context) {
  const auto cost = wrapCost(wrap);
  if (!cost) return std::nullopt;
  const std::span<const uint8_t> salt = wrap.subspan(costLength, saltLength);
  if (const auto known = find(wrap); known != known_.end()) {
    const auto mac = pinMac(pin);
    if (CRYPTO_memcmp(mac.data(), known->second.pinMac.data(), mac.size()) == 0)
      return openWithDerivedKey(wrap, known->second.derivedKey, context);
  }
  WipedBytes derived = derivePinKey(pin, salt, *cost);
  if (derived.empty()) return std::nullopt;
  auto storageKey = openWithDerivedKey(wrap, derived, context);
  if (storageKey) remember(std::vector<uint8_t>(wrap.begin(), wrap.end()), pin, std::move(derived));
  return storageKey;
}

std::vector<uint8_t> PinKeys::wrap(std::span<const uint8_t> pin,
                                   std::span<const uint8_t> storageKey, const KdfCost& cost,
                                   std::span<const uint8_t> context) {
  if (!isAcceptable(cost)) return {};
  std::vector<uint8_t> wrap = costBytes(cost);
  wrap.resize(costLength + saltLength);
  if (RAND_bytes(wrap.data() + costLength, saltLength) != 1) return {};
  WipedBytes derived = derivePinKey(pin, std::span(wrap).subspan(costLength), cost);
  if (derived.empty()) return {};
  const std::vector<uint8_t> sealed = sealValue(derived, storageKey, context);
  if (sealed.empty()) return {};
  wrap.insert(wrap.end(), sealed.begin(), sealed.end());
  remember(wrap, pin, std::move(derived));
  return wrap;
}

PinKeys::Entries::iterator PinKeys::find(std::span<const uint8_t> wrap) {
  if (!wrapCost(wrap)) return known_.end();
  const auto salt = wrap.subspan(costLength, saltLength);
  const auto known = known_.find(std::vector<uint8_t>(salt.begin(), salt.end()));
  if (known == known_.end() ||
      !std::equal(wrap.begin(), wrap.end(), known->second.wrap.begin(), known->second.wrap.end()))
    return known_.end();
  return known;
}

bool PinKeys::knows(std::span<const uint8_t> wrap) const {
  return const_cast<PinKeys*>(this)->find(wrap) != known_.end();
}

std::optional<std::vector<uint8_t>> PinKeys::rewrap(std::span<const uint8_t> wrap,
                                                    std::span<const uint8_t> storageKey,
                                                    std::span<const uint8_t> context) {
  const auto known = find(wrap);
  if (known == known_.end()) return std::nullopt;
  const std::vector<uint8_t> sealed = sealValue(known->second.derivedKey, storageKey, context);
  if (sealed.empty()) return std::nullopt;
  std::vector<uint8_t> renewed(wrap.begin(), wrap.begin() + costLength + saltLength);
  renewed.insert(renewed.end(), sealed.begin(), sealed.end());
  known->second.wrap = renewed;
  return renewed;
}

}  // namespace korva::sim
