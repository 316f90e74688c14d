#include "card/credentials.h"

#include "card/apdu.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>

namespace korva::card {

namespace {

constexpr std::size_t kLongestData = 255;
constexpr std::size_t kPrefixSize = 8;

// A command buffer for secrets: wiped however the helper leaves.
struct SecretApdu {
    std::array<uint8_t, 5 + kLongestData> bytes{};
    std::size_t length = 0;
    ~SecretApdu() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    std::span<const uint8_t> view() const noexcept { return std::span(bytes).first(length); }
};

// The 8-byte value in front of a key: a big-endian number (for an RSA key
// its public exponent, which the card reads back the same way in READ
// PUBLIC KEY), so the zeros that pad it to 8 bytes go in front. Both load
// forms use this one layout. The caller has bounded the value to 8 bytes.
std::array<uint8_t, kPrefixSize> bigEndianPrefix(std::span<const uint8_t> value) noexcept {
    std::array<uint8_t, kPrefixSize> field{};
    std::copy(value.begin(), value.end(), field.end() - static_cast<std::ptrdiff_t>(value.size()));
    return field;
}

// 00 24 01 P2 Lc data. The caller has bounded the data to 255 bytes.
void buildChangeReference(SecretApdu& apdu, uint8_t cla, uint8_t p2, std::span<const uint8_t> prefix,
                          std::span<const uint8_t> data) noexcept {
    const std::size_t lc = prefix.size() + data.size();
    apdu.bytes[0] = cla;
    apdu.bytes[1] = 0x24;
    apdu.bytes[2] = 0x01;
    apdu.bytes[3] = p2;
    apdu.bytes[4] = static_cast<uint8_t>(lc);
    std::copy(prefix.begin(), prefix.end(), apdu.bytes.begin() + 5);
    std::copy(data.begin(), data.end(), apdu.bytes.begin() + 5 + static_cast<std::ptrdiff_t>(prefix.size()));
    apdu.length = 5 + lc;
}

void wipeCommandBuffer(CardContext& context) noexcept {
    OPENSSL_cleanse(context.command.data(), context.command.size());
}

CardResult sendKeyMaterial(CardContext& context, const SecretApdu& apdu) noexcept {
    const CardResult sent = sendChained(context, apdu.view());
    wipeCommandBuffer(context);
    if (sent != result::kOk) return sent;
    return detail::succeeded(context) ? result::kOk : result::kUnexpected;
}

}  // namespace

CardResult resetRetryCounter(CardContext& context) noexcept {
    constexpr std::array<uint8_t, 4> apdu = {0x00, 0x2C, 0x03, 0x07};
    return detail::send(context, apdu, kTransportFlag1);
}

CardResult setReferenceData(CardContext& context, uint8_t p2, std::span<const uint8_t> data) noexcept {
    if (data.empty() || data.size() > kLongestData) return result::kBadArgumentOrTransport;
    SecretApdu apdu;
    buildChangeReference(apdu, 0x00, p2, {}, data);
    const CardResult sent = detail::send(context, apdu.view(), kTransportFlag1);
    wipeCommandBuffer(context);
    return sent;
}

CardResult loadKeyMaterial(CardContext& context, uint8_t p2, std::span<const uint8_t> data, bool moreFollow) noexcept {
    if (data.empty() || data.size() > kLongestData) return result::kBadArgumentOrTransport;
    SecretApdu apdu;
    buildChangeReference(apdu, moreFollow ? 0x10 : 0x00, p2, {}, data);
    return sendKeyMaterial(context, apdu);
}

CardResult loadKey(CardContext& context, uint8_t p2, std::span<const uint8_t> prefix,
                   std::span<const uint8_t> key) noexcept {
    if (prefix.size() > kPrefixSize || key.size() > kLongestData - kPrefixSize) return result::kBadArgumentOrTransport;
    SecretApdu apdu;
    buildChangeReference(apdu, 0x00, p2, bigEndianPrefix(prefix), key);
    return sendKeyMaterial(context, apdu);
}

CardResult loadKeyPair(CardContext& context, uint8_t p2, std::span<const uint8_t> exponent,
                       std::span<const uint8_t> modulus, std::span<const uint8_t> privateExponent) noexcept {
    if (exponent.size() > kPrefixSize || modulus.size() != kRsaHalf || privateExponent.size() != kRsaHalf) {
        return result::kBadArgumentOrTransport;
    }
    SecretApdu apdu;
    buildChangeReference(apdu, 0x10, p2, bigEndianPrefix(exponent), modulus);
    const CardResult first = sendKeyMaterial(context, apdu);
    if (first != result::kOk) return first;
    buildChangeReference(apdu, 0x00, p2, {}, privateExponent);
    return sendKeyMaterial(context, apdu);
}

CardResult resetSecurityState(CardContext& context) noexcept {
    constexpr std::array<uint8_t, 4> apdu = {0x80, 0x52, 0x00, 0x00};
    return detail::send(context, apdu, kTransportFlag1);
}

}  // namespace korva::card
