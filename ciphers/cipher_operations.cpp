// Slots 30 to 32 and 34 to 36: single-part, update and final calls.
#include "ciphers/cipher_operations.h"

#include "common/output_length.h"

#include "ciphers/cipher_backends.h"
#include "ciphers/cipher_mechanisms.h"
#include "ciphers/rsa_cipher.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <new>

namespace korva::ciphers {
namespace {

using namespace korva::abi;

// A data call's arguments once the pointers every call needs are known to
// be there, with its mechanism's row.
struct Call {
    const CipherCall& args;
    const CipherMechanism& mechanism;
    CipherState& state;

    std::size_t block() const noexcept { return mechanism.block; }
    std::span<const uint8_t> chainingValue() const noexcept {
        return std::span(state.chainingValue).first(mechanism.chainingBytes());
    }
    std::span<const uint8_t> pending() const noexcept { return std::span(state.pending).first(state.pendingCount); }

    CK_RV run(std::span<const uint8_t> input, bool isFinal, CipherDirection direction, WipedBytes& output) const {
        const CipherRequest request{args.login, *args.key, &mechanism, chainingValue(), input, isFinal, direction};
        return cipherWithBackend(args.host, request, output);
    }
};

// The checks every data call starts with: the pointers, and a mechanism
// the table knows (the one given at initialisation is not known here).
CK_RV begin(const CipherCall& args, const CipherMechanism*& mechanism, const CK_ULONG* outputLength) noexcept {
    if (args.key == nullptr || args.state == nullptr || outputLength == nullptr) return CKR_FUNCTION_FAILED;
    mechanism = findCipherMechanism(args.mechanism);
    if (mechanism == nullptr) return CKR_MECHANISM_INVALID;
    // A count past one block would have the pending bytes read beyond the
    // record: the host's record is not ours to trust.
    return args.state->cipher.pendingCount <= mechanism->block ? CKR_OK : CKR_FUNCTION_FAILED;
}

// Needed length `needed`: a null output asks for it, a short one is told it.
// Either way `done` says the call ends here.
CK_RV reportLength(uint8_t* output, CK_ULONG* outputLength, std::size_t needed, bool& done) noexcept {
    const OutputRoom room = claimOutput(output, *outputLength, needed);
    done = room != OutputRoom::kFits;
    return outputRoomRv<CK_RV>(room);
}

CK_RV deliver(std::span<const uint8_t> produced, uint8_t* output, CK_ULONG* outputLength) noexcept {
    bool done = false;
    if (const CK_RV rv = reportLength(output, outputLength, produced.size(), done); done) return rv;
    std::ranges::copy(produced, output);
    return CKR_OK;
}

// The single-part encryption's output size, or nothing when the length
// breaks the mechanism's rule.
std::optional<std::size_t> encryptedSize(const CipherMechanism& mechanism, std::size_t length) noexcept {
    // The padded size must still be a length the host can be told.
    if (mechanism.padded && length > std::size_t(CK_ULONG(-1)) - mechanism.block) return std::nullopt;
    if (mechanism.padded) return length + (mechanism.block - length % mechanism.block);
    if (!mechanism.anyLength && length % mechanism.block != 0) return std::nullopt;
    return length;
}

bool wholeBlocksOnly(const CipherMechanism& mechanism, std::size_t length) noexcept {
    return mechanism.anyLength || length % mechanism.block == 0;
}

// Pending bytes and new input, joined.
WipedBytes joined(const Call& call, std::span<const uint8_t> input) {
    WipedBytes all(call.pending().begin(), call.pending().end());
    all.insert(all.end(), input.begin(), input.end());
    return all;
}

void keepPending(CipherState& state, std::span<const uint8_t> rest) noexcept {
    std::ranges::fill(state.pending, uint8_t{0});
    std::ranges::copy(rest, state.pending);
    state.pendingCount = uint8_t(rest.size());
}

CK_RV encryptOnce(const Call& call, std::span<const uint8_t> input, uint8_t* output, CK_ULONG* outputLength) {
    const std::optional<std::size_t> size = encryptedSize(call.mechanism, input.size());
    if (!size) return CKR_DATA_LEN_RANGE;
    bool done = false;
    if (const CK_RV rv = reportLength(output, outputLength, *size, done); done) return rv;
    WipedBytes produced;
    if (const CK_RV rv = call.run(input, true, CipherDirection::kEncrypt, produced); rv != CKR_OK) return rv;
    if (produced.size() != *size) return CKR_FUNCTION_FAILED;
    return deliver(produced, output, outputLength);
}

CK_RV decryptOnce(const Call& call, std::span<const uint8_t> input, uint8_t* output, CK_ULONG* outputLength) {
    if (!wholeBlocksOnly(call.mechanism, input.size())) return CKR_DATA_LEN_RANGE;
    // Without padding the plain text is as long as the cipher text, so a
    // short buffer is known before the card is asked; with padding only
    // after.
    bool done = false;
    if (output == nullptr || !call.mechanism.padded) {
        if (const CK_RV rv = reportLength(output, outputLength, input.size(), done); done) return rv;
    }
    WipedBytes produced;
    if (const CK_RV rv = call.run(input, true, CipherDirection::kDecrypt, produced); rv != CKR_OK) return rv;
    return deliver(produced, output, outputLength);
}

// An update: `keep` is how many of the joined bytes wait for the next call.
CK_RV update(const Call& call, std::span<const uint8_t> input, uint8_t* output, CK_ULONG* outputLength,
             CipherDirection direction) {
    const WipedBytes all = joined(call, input);
    std::size_t keep = all.size() % call.block();
    if (keep == 0 && direction == CipherDirection::kDecrypt) keep = call.block();
    const std::size_t full = all.size() - keep;
    const auto whole = std::span(all).first(full);
    if (full == 0) {
        keepPending(call.state, all);
        *outputLength = 0;
        return CKR_OK;
    }
    bool done = false;
    if (const CK_RV rv = reportLength(output, outputLength, full, done); done) return rv;
    WipedBytes produced;
    if (const CK_RV rv = call.run(whole, false, direction, produced); rv != CKR_OK) return rv;
    if (produced.size() != full) return CKR_FUNCTION_FAILED;
    const auto cipherText = direction == CipherDirection::kEncrypt ? std::span<const uint8_t>(produced) : whole;
    std::ranges::copy(cipherText.last(call.block()), call.state.chainingValue);
    keepPending(call.state, std::span(all).subspan(full));
    return deliver(produced, output, outputLength);
}

CK_RV finishEncryption(const Call& call, uint8_t* output, CK_ULONG* outputLength) {
    const std::size_t pending = call.state.pendingCount;
    if (pending >= call.block()) return CKR_FUNCTION_FAILED;
    if (pending != 0 && !call.mechanism.padded && !call.mechanism.anyLength) return CKR_DATA_LEN_RANGE;
    if (pending == 0 && !call.mechanism.padded) {
        *outputLength = 0;
        return CKR_OK;
    }
    const std::size_t size = call.mechanism.padded ? call.block() : pending;
    bool done = false;
    if (const CK_RV rv = reportLength(output, outputLength, size, done); done) return rv;
    WipedBytes produced;
    if (const CK_RV rv = call.run(call.pending(), true, CipherDirection::kEncrypt, produced); rv != CKR_OK) return rv;
    if (produced.size() != size) return CKR_FUNCTION_FAILED;
    return deliver(produced, output, outputLength);
}

CK_RV finishDecryption(const Call& call, uint8_t* output, CK_ULONG* outputLength) {
    const std::size_t pending = call.state.pendingCount;
    if (pending == 0 || pending > call.block()) return CKR_FUNCTION_FAILED;
    if (!call.mechanism.anyLength && pending != call.block()) return CKR_ENCRYPTED_DATA_LEN_RANGE;
    if (output == nullptr) {
        *outputLength = CK_ULONG(pending);
        return CKR_OK;
    }
    WipedBytes produced;
    if (const CK_RV rv = call.run(call.pending(), true, CipherDirection::kDecrypt, produced); rv != CKR_OK) return rv;
    return deliver(produced, output, outputLength);
}

// The checks of the data calls that take input, then `body` with the call
// and the input.
template <typename Body>
CK_RV withInput(const CipherCall& args, const uint8_t* input, CK_ULONG inputLength, CK_ULONG* outputLength,
                Body&& body) {
    const CipherMechanism* mechanism = nullptr;
    if (input == nullptr) return CKR_FUNCTION_FAILED;
    if (const CK_RV rv = begin(args, mechanism, outputLength); rv != CKR_OK) return rv;
    if (inputLength == 0) return CKR_DATA_LEN_RANGE;
    const Call call{args, *mechanism, args.state->cipher};
    return body(call, std::span(input, inputLength));
}

}  // namespace

CK_RV encrypt(const CipherCall& args, const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
              CK_ULONG* outputLength) {
    return withInput(args, input, inputLength, outputLength, [&](const Call& call, std::span<const uint8_t> data) {
        if (call.mechanism.isRsa()) {
            return rsaEncrypt(args.host, args.login, *args.key, call.mechanism, data, output, outputLength);
        }
        return encryptOnce(call, data, output, outputLength);
    });
}

CK_RV decrypt(const CipherCall& args, const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
              CK_ULONG* outputLength) {
    return withInput(args, input, inputLength, outputLength, [&](const Call& call, std::span<const uint8_t> data) {
        if (call.mechanism.isRsa()) {
            return rsaDecrypt(args.host, args.login, *args.key, call.mechanism, data, output, outputLength);
        }
        return decryptOnce(call, data, output, outputLength);
    });
}

CK_RV encryptUpdate(const CipherCall& args, const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
                    CK_ULONG* outputLength) {
    return withInput(args, input, inputLength, outputLength, [&](const Call& call, std::span<const uint8_t> data) {
        if (call.mechanism.isRsa()) return CKR_FUNCTION_FAILED;
        return update(call, data, output, outputLength, CipherDirection::kEncrypt);
    });
}

// CKM_RSA_PKCS is let through as a mechanism of 8-byte blocks: it fails
// once a block is to be deciphered, as no back end takes it.
CK_RV decryptUpdate(const CipherCall& args, const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
                    CK_ULONG* outputLength) {
    return withInput(args, input, inputLength, outputLength, [&](const Call& call, std::span<const uint8_t> data) {
        if (call.mechanism.type == CKM_RSA_X_509) return CKR_FUNCTION_FAILED;
        return update(call, data, output, outputLength, CipherDirection::kDecrypt);
    });
}

CK_RV encryptFinal(const CipherCall& args, uint8_t* output, CK_ULONG* outputLength) {
    const CipherMechanism* mechanism = nullptr;
    if (const CK_RV rv = begin(args, mechanism, outputLength); rv != CKR_OK) return rv;
    return finishEncryption(Call{args, *mechanism, args.state->cipher}, output, outputLength);
}

CK_RV decryptFinal(const CipherCall& args, uint8_t* output, CK_ULONG* outputLength) {
    const CipherMechanism* mechanism = nullptr;
    if (const CK_RV rv = begin(args, mechanism, outputLength); rv != CKR_OK) return rv;
    return finishDecryption(Call{args, *mechanism, args.state->cipher}, output, outputLength);
}

}  // namespace korva::ciphers
