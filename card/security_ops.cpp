#include "card/security_ops.h"

#include "card/apdu.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>

namespace korva::card {

namespace {

constexpr std::size_t kLongestData = 255;
constexpr uint8_t kPaddingIndicator = 0x02;

// A command with up to 255 data bytes: CLA INS P1 P2 Lc data.
struct Apdu {
    std::array<uint8_t, 5 + kLongestData> bytes{};
    std::size_t length = 0;
    ~Apdu() { OPENSSL_cleanse(bytes.data(), bytes.size()); }  // plaintexts and hashes pass through here

    Apdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2) noexcept : bytes{cla, ins, p1, p2}, length(5) {}
    void append(std::span<const uint8_t> data) noexcept {
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        length += data.size();
        bytes[4] = static_cast<uint8_t>(length - 5);
    }
    void append(uint8_t byte) noexcept { append(std::span(&byte, 1)); }
    std::span<const uint8_t> view() const noexcept { return std::span(bytes).first(length); }
};

// Copies `answer` (without its first `skip` bytes) into `out`.
CardResult deliver(std::span<const uint8_t> answer, std::size_t skip, std::span<uint8_t> out,
                   std::size_t& outLength) noexcept {
    if (answer.size() < skip) return result::kUnexpected;
    const auto payload = answer.subspan(skip);
    if (payload.size() > out.size()) return result::kWrongLength;
    std::copy(payload.begin(), payload.end(), out.begin());
    outLength = payload.size();
    return result::kOk;
}

constexpr uint8_t kChainingClass = 0x10;

// An encipher or decipher answer carries data: an empty one has nothing to
// return (and, for encipher, not even the padding indicator), and a
// two-byte one is a card repeating its status words as data, never a
// cipher result.
bool plausibleCipherAnswer(const CardContext& context) noexcept {
    return context.responseLength != 0 && context.responseLength != 2;
}

}  // namespace

CardResult encipher(CardContext& context, std::span<const uint8_t> data, bool chain, std::span<uint8_t> out,
                    std::size_t& outLength) noexcept {
    if (data.empty() || data.size() > kLongestData) return result::kBadArgumentOrTransport;
    Apdu apdu(chain ? kChainingClass : 0x00, 0x2A, 0x86, 0x80);
    apdu.append(data);
    const CardResult sent = detail::send(context, apdu.view(), kTransportFlag1);
    if (sent != result::kOk) return sent;
    if (!plausibleCipherAnswer(context)) return result::kUnexpected;
    return deliver(context.received(), 1, out, outLength);
}

CardResult decipher(CardContext& context, std::span<const uint8_t> data, bool chain, std::span<uint8_t> out,
                    std::size_t& outLength) noexcept {
    if (data.empty() || data.size() > kLongestData - 1) return result::kBadArgumentOrTransport;
    Apdu apdu(chain ? kChainingClass : 0x00, 0x2A, 0x80, 0x86);
    apdu.append(kPaddingIndicator);
    apdu.append(data);
    const CardResult sent = detail::send(context, apdu.view(), kTransportFlag1);
    if (sent != result::kOk) return sent;
    if (!plausibleCipherAnswer(context)) return result::kUnexpected;
    return deliver(context.received(), 0, out, outLength);
}

CardResult encipherLong(CardContext& context, std::span<const uint8_t> data, std::span<uint8_t> out) noexcept {
    if (data.empty() || data.size() > kLongestData || out.size() < data.size()) return result::kBadArgumentOrTransport;
    Apdu apdu(0x00, 0x2A, 0x86, 0x80);
    apdu.append(data);
    const CardResult sent = sendChained(context, apdu.view());
    if (sent != result::kOk) return sent;
    if (!detail::succeeded(context) || context.responseLength != data.size()) return result::kUnexpected;
    std::copy_n(context.response.begin(), data.size(), out.begin());
    return result::kOk;
}

CardResult computeSignature(CardContext& context, std::span<const uint8_t> hash,
                            std::span<uint8_t> signature) noexcept {
    if (hash.empty() || hash.size() > kLongestData) return result::kBadArgumentOrTransport;
    Apdu apdu(0x00, 0x2A, 0x9E, 0x9A);
    apdu.append(hash);
    const CardResult sent = detail::send(context, apdu.view(), kTransportFlag1);
    if (sent != result::kOk) return sent;
    const uint32_t length = context.responseLength;
    if ((length != 64 && length != 128) || length != signature.size()) return result::kUnexpected;
    std::copy_n(context.response.begin(), length, signature.begin());
    return result::kOk;
}

CardResult computeRsaSignature(CardContext& context, std::span<const uint8_t> data,
                               std::span<uint8_t, kRsaSignatureSize> signature) noexcept {
    if (data.empty() || data.size() > kLongestData) return result::kBadArgumentOrTransport;
    Apdu apdu(0x00, 0x2A, 0x9E, 0x9A);
    apdu.append(data);
    const CardResult sent = detail::send(context, apdu.view(), kTransportFlag1);
    if (sent != result::kOk) return sent;
    if (context.responseLength != kRsaSignatureSize) return result::kUnexpected;
    std::copy_n(context.response.begin(), kRsaSignatureSize, signature.begin());
    return result::kOk;
}

CardResult verifySignature(CardContext& context, std::span<const uint8_t> hash,
                           std::span<const uint8_t> signature) noexcept {
    // 9A hash in short form; 9E signature in short form up to 127 bytes and
    // as 81 80 for a 128-byte RSA signature. Lc is one byte: the two TLVs
    // together must fit in 255 bytes, whatever each length is on its own.
    const bool longSignature = signature.size() == kRsaSignatureSize;
    if (hash.empty() || hash.size() > 0x7F || signature.empty() || signature.size() > kRsaSignatureSize ||
        (longSignature && hash.size() > kLongestHashWithRsaSignature)) {
        return result::kBadArgumentOrTransport;
    }
    const std::size_t signatureHeader = longSignature ? 3 : 2;
    if (2 + hash.size() + signatureHeader + signature.size() > kLongestData) return result::kBadArgumentOrTransport;
    Apdu apdu(0x00, 0x2A, 0x00, 0xA8);
    apdu.append(0x9A);
    apdu.append(static_cast<uint8_t>(hash.size()));
    apdu.append(hash);
    apdu.append(0x9E);
    if (longSignature) apdu.append(0x81);
    apdu.append(static_cast<uint8_t>(signature.size()));
    apdu.append(signature);
    return detail::send(context, apdu.view(), kTransportFlag1,
                        {{0x6982, result::kSignatureRejected}, {0x6900, result::kUnexpected, 0xFF00}});
}

CardResult readPublicKey(CardContext& context, uint8_t keyReference, std::span<uint8_t> out,
                         std::size_t& length) noexcept {
    const std::array<uint8_t, 5> apdu = {0x00, 0x46, 0x01, keyReference, 0x00};
    const CardResult sent = detail::send(context, apdu, kTransportFlag1, {detail::kSecurityNotSatisfied});
    if (sent != result::kOk) return sent;
    return deliver(context.received(), 0, out, length);
}

CardResult generateKeyPair(CardContext& context, uint8_t keyReference) noexcept {
    const std::array<uint8_t, 4> apdu = {0x00, 0x46, 0x02, keyReference};
    return detail::send(context, apdu, kTransportFlag1);
}

CardResult generateKeyPair(CardContext& context, uint8_t keyReference,
                           std::span<const uint8_t, 3> publicExponent) noexcept {
    // clang-format off
    const std::array<uint8_t, 13> apdu = {0x00, 0x46, 0x02, keyReference, 0x08, 0xA6, 0x06, 0x94, 0x04, 0x00,
                                          publicExponent[0], publicExponent[1], publicExponent[2]};
    // clang-format on
    return detail::send(context, apdu, kTransportFlag1);
}

namespace {

// The proprietary generation answers 61 xx when the key is made; which xx
// count as success depends on the form.
CardResult judgeGeneration(CardContext& context, CardResult sent, bool acceptWide) noexcept {
    if (sent != result::kOk) return sent;
    const uint16_t statusWord = context.statusWord();
    if (statusWord == 0x6140 || (acceptWide && statusWord == 0x6180)) return result::kOk;
    if (statusWord == 0x6A84) return result::kMemory;
    return result::kUnexpected;
}

uint8_t generationP1(const OnCardKeyRequest& request) noexcept {
    return static_cast<uint8_t>(request.p1Bits | (request.option ? 0x30 : 0x10));
}

}  // namespace

CardResult generateKeyOnCard(CardContext& context, const OnCardKeyRequest& request) noexcept {
    // clang-format off
    const std::array<uint8_t, 10> apdu = {0x80, 0x76, generationP1(request), request.p2, 0x05,
                                          static_cast<uint8_t>(request.fileId >> 8),
                                          static_cast<uint8_t>(request.fileId), 0x07, 0x00, 0x09};
    // clang-format on
    return judgeGeneration(context, sendCommand(context, apdu, kTransportFlag0), false);
}

CardResult generateKeyOnCardLong(CardContext& context, const OnCardKeyRequest& request, uint32_t keyType,
                                 bool wide512) noexcept {
    const bool wide = wide512 || keyType == kKeyTypeGost512;
    const auto p1 = static_cast<uint8_t>(generationP1(request) | (wide ? 0x80 : 0x00));
    const auto hi = static_cast<uint8_t>(request.fileId >> 8);
    const auto lo = static_cast<uint8_t>(request.fileId);
    std::array<uint8_t, 15> apdu = {0x80, 0x76, p1, request.p2, 0x04, hi, lo, 0x07, 0x00};
    std::size_t length = 9;
    if (request.option) {
        // clang-format off
        apdu = {0x80, 0x76, p1, request.p2, 0x0A, hi, lo, 0x07, 0x00, 0x01, 0x08, 0x05, 0x00,
                static_cast<uint8_t>(wide ? 0x00 : 0x09), 0x01};
        // clang-format on
        length = 15;
    }
    return judgeGeneration(context, sendCommand(context, std::span(apdu).first(length), kTransportFlag0), true);
}

CardResult getChallenge(CardContext& context, std::span<uint8_t> out) noexcept {
    constexpr std::size_t kPiece = 8;
    constexpr std::array<uint8_t, 5> apdu = {0x00, 0x84, 0x00, 0x00, kPiece};
    for (std::size_t done = 0; done < out.size(); done += kPiece) {
        const CardResult sent = detail::send(context, apdu, kTransportFlag1);
        if (sent != result::kOk) return sent;
        if (context.responseLength != kPiece) return result::kUnexpected;
        const std::size_t take = std::min(kPiece, out.size() - done);
        std::copy_n(context.response.begin(), take, out.begin() + static_cast<std::ptrdiff_t>(done));
    }
    return result::kOk;
}

namespace {

// The card reads each of its inputs as a big-endian number; the host holds
// them little-endian.
void appendReversed(Apdu& apdu, std::span<const uint8_t> bytes) noexcept {
    for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte) apdu.append(*byte);
}

}  // namespace

CardResult agreeKey(CardContext& context, const KeyAgreementRequest& request,
                    std::span<uint8_t, kAgreedKeySize> agreedKey) noexcept {
    const std::size_t half = request.peerPublicKey.size() / 2;
    if (half == 0 || request.peerPublicKey.size() % 2 != 0 || request.ukm.empty() ||
        request.peerPublicKey.size() + request.ukm.size() > kLongestData) {
        return result::kBadArgumentOrTransport;
    }
    Apdu apdu(0x80, 0x50, request.p1, request.keyReference);
    appendReversed(apdu, request.peerPublicKey.first(half));
    appendReversed(apdu, request.peerPublicKey.subspan(half));
    appendReversed(apdu, request.ukm);
    const CardResult sent = detail::send(context, apdu.view(), kTransportFlag1);
    if (sent != result::kOk) return sent;
    if (context.responseLength != kAgreedKeySize) return result::kUnexpected;
    std::copy_n(context.response.begin(), kAgreedKeySize, agreedKey.begin());
    return result::kOk;
}

}  // namespace korva::card
