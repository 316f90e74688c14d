#include "sign/card_signature.h"

#include "sign/signature_mechanisms.h"

#include "card/security_env.h"
#include "card/security_ops.h"
#include "card/select.h"

#include <algorithm>
#include <array>

namespace korva::sign {
namespace {

constexpr std::size_t kLongestGostSignature = 2 * kLongestGostHash;
constexpr std::size_t kLongestRsaData = kRsaModulusBytes - 11;  // room for 00 01 FF*8 00

bool gostLengths(std::span<const uint8_t> hash, std::size_t signatureLength) noexcept {
    return (hash.size() == 32 || hash.size() == kLongestGostHash) && signatureLength == 2 * hash.size();
}

// Host form and card form differ by the order of the two halves; the same
// exchange turns either into the other.
void exchangeHalves(std::span<const uint8_t> from, std::span<uint8_t> to) noexcept {
    const std::size_t half = from.size() / 2;
    std::copy(from.begin() + static_cast<std::ptrdiff_t>(half), from.end(), to.begin());
    std::copy_n(from.begin(), half, to.begin() + static_cast<std::ptrdiff_t>(half));
}

// Checks the lengths, selects the key directory and points the signature
// environment at the key: the steps signing and verifying share.
CardResult prepareGostKey(CardContext& context, uint8_t keyReference, std::span<const uint8_t> hash,
                          std::size_t signatureLength, KeyDirectory directory = KeyDirectory::kSelect) noexcept {
    if (!gostLengths(hash, signatureLength)) return result::kBadArgumentOrTransport;
    const CardResult selected = directory == KeyDirectory::kSelect ? card::selectKeyDirectory(context) : result::kOk;
    if (selected != result::kOk) return selected;
    return card::setKeyForSigning(context, keyReference);
}

// The card takes the hash in the reverse byte order. Only for a hash whose
// length gostLengths accepted.
class CardOrderHash {
public:
    explicit CardOrderHash(std::span<const uint8_t> hash) noexcept : size_(hash.size()) {
        std::reverse_copy(hash.begin(), hash.end(), bytes_.begin());
    }
    std::span<const uint8_t> bytes() const noexcept { return std::span(bytes_).first(size_); }

private:
    std::array<uint8_t, kLongestGostHash> bytes_{};
    std::size_t size_;
};

}  // namespace

CardResult signGostHash(CardContext& context, uint8_t keyReference, std::span<const uint8_t> hash,
                        std::span<uint8_t> signature, KeyDirectory directory) noexcept {
    const CardResult prepared = prepareGostKey(context, keyReference, hash, signature.size(), directory);
    if (prepared != result::kOk) return prepared;

    const CardOrderHash cardHash(hash);
    std::array<uint8_t, kLongestGostSignature> cardForm{};
    const auto answer = std::span(cardForm).first(signature.size());
    const CardResult computed = card::computeSignature(context, cardHash.bytes(), answer);
    if (computed != result::kOk) return computed;
    exchangeHalves(answer, signature);
    return result::kOk;
}

CardResult verifyGostHash(CardContext& context, uint8_t keyReference, std::span<const uint8_t> hash,
                          std::span<const uint8_t> signature) noexcept {
    const CardResult prepared = prepareGostKey(context, keyReference, hash, signature.size());
    if (prepared != result::kOk) return prepared;

    const CardOrderHash cardHash(hash);
    std::array<uint8_t, kLongestGostSignature> cardForm{};
    const auto converted = std::span(cardForm).first(signature.size());
    exchangeHalves(signature, converted);
    return card::verifySignature(context, cardHash.bytes(), converted);
}

CardResult signRsa(CardContext& context, uint8_t keyReference, std::span<const uint8_t> data,
                   std::span<uint8_t, kRsaModulusBytes> signature) noexcept {
    if (data.empty() || data.size() > kLongestRsaData) return result::kBadArgumentOrTransport;
    const CardResult set = card::setKeyForSigning(context, keyReference);
    if (set != result::kOk) return set;
    return card::computeRsaSignature(context, data, signature);
}

CardResult verifyRsa(CardContext& context, uint8_t keyReference, std::span<const uint8_t> data,
                     std::span<const uint8_t, kRsaModulusBytes> signature) noexcept {
    if (data.empty() || data.size() > kLongestRsaData) return result::kBadArgumentOrTransport;
    const CardResult set = card::setKeyForSigning(context, keyReference);
    if (set != result::kOk) return set;
    return card::verifySignature(context, data, signature);
}

CardResult rsaPublicTransform(CardContext& context, uint8_t keyReference,
                              std::span<const uint8_t, kRsaModulusBytes> signature,
                              std::span<uint8_t, kRsaModulusBytes> block) noexcept {
    const CardResult set = card::setKeyForDeciphering(context, keyReference);
    if (set != result::kOk) return set;
    // Room for any answer the card may give; only an answer of exactly the
    // modulus length is a transform of the signature.
    std::array<uint8_t, 256> answer{};
    std::size_t length = 0;
    const CardResult enciphered = card::encipher(context, signature, false, answer, length);
    if (enciphered != result::kOk) return enciphered == result::kWrongLength ? result::kUnexpected : enciphered;
    if (length != kRsaModulusBytes) return result::kUnexpected;
    std::copy_n(answer.begin(), kRsaModulusBytes, block.begin());
    return result::kOk;
}

std::span<const uint8_t> unpadSignatureBlock(std::span<const uint8_t> block) noexcept {
    const std::size_t k = block.size();
    if (k < 4 || block[0] != 0x00 || block[1] != 0x01) return {};
    std::size_t fillers = 0;
    while (2 + fillers < k && block[2 + fillers] == 0xFF) ++fillers;
    // At least one filler byte, the separator, and at least one data byte.
    if (fillers == 0 || fillers >= k - 3 || block[2 + fillers] != 0x00) return {};
    return block.subspan(3 + fillers);
}

}  // namespace korva::sign
