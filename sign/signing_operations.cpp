// The operation slots: single-part signing, verification and verification
// with recovery. Every length the host states is checked before its buffer
// is read or written, and every answer of the card before it is used.
#include "sign/signing.h"

#include "sign/card_signature.h"
#include "sign/rsa_key_reference.h"
#include "sign/signature_mechanisms.h"
#include "sign/signing_key.h"

#include "session/mechanisms.h"

#include <algorithm>
#include <array>
#include <span>

namespace korva::sign {
namespace {

using namespace korva::abi;
using detail::KeyUse;

// A length query, or a buffer too small: the needed length goes back either
// way. A buffer that is large enough keeps the caller's length until the
// operation has succeeded, so that a failure leaves it as it was.
bool answeredLengthOnly(const uint8_t* buffer, CK_ULONG* length, CK_ULONG needed, CK_RV& rv) noexcept {
    if (buffer != nullptr && *length >= needed) return false;
    rv = buffer == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    *length = needed;
    return true;
}

// The hash a GOST mechanism signs: the host's data for the raw mechanisms
// (whose length the caller has checked), else the message hashed here.
bool gostHashOf(const SignatureMechanism& row, const OperationRecord& state, std::span<const uint8_t> data,
                std::span<uint8_t, kLongestGostHash> hash) noexcept {
    if (row.hash == MessageHash::kNone) {
        std::ranges::copy(data, hash.begin());
        return true;
    }
    return hashMessage(row, state, data, hash);
}

struct Operation {
    const SignatureMechanism* row;
    detail::UsableKey key;
};

// What the three-step start of signing and verification share: the
// mechanism as the card offers it, the key handle's class, the login and
// the key's record with its checks.
CK_RV startOperation(CardContext& context, const LoginRecord* login, const ObjectHandle* key,
                     const OperationRecord* state, CK_MECHANISM_TYPE mechanism, KeyUse use, Operation& operation) {
    const auto offered = token::activeMechanisms(context);
    operation.row = acceptedSignatureMechanism(offered, mechanism);
    if (key == nullptr || state == nullptr || operation.row == nullptr) return CKR_FUNCTION_FAILED;
    if (const CK_RV rv = detail::checkKeyClass(*key, use); rv != CKR_OK) return rv;
    const detail::KeyDemands demands{use, operation.row->keyType, true, false};
    return detail::loadUsableKey(context, *key, login, demands, operation.key);
}

CK_RV signWithGost(const HostContext& host, const Operation& operation, const OperationRecord& state,
                   std::span<const uint8_t> data, uint8_t* signature, CK_ULONG* signatureLength) {
    const SignatureMechanism& row = *operation.row;
    uint8_t reference = 0;
    if (detail::gostKeyReference(operation.key, reference) != CKR_OK) return CKR_FUNCTION_FAILED;
    if (row.hash == MessageHash::kNone && data.size() != row.hashLength()) return CKR_DATA_LEN_RANGE;
    if (CK_RV rv = CKR_OK; answeredLengthOnly(signature, signatureLength, row.signatureLength, rv)) return rv;

    std::array<uint8_t, kLongestGostHash> hash{};
    if (!gostHashOf(row, state, data, hash)) return CKR_FUNCTION_FAILED;
    std::array<uint8_t, 2 * kLongestGostHash> hostForm{};
    const auto produced = std::span(hostForm).first(row.signatureLength);
    // The signing sequence runs on a context of its own, as the message
    // builders run it.
    CardContext signing(host);
    if (signGostHash(signing, reference, std::span(hash).first(row.hashLength()), produced) != result::kOk) {
        return CKR_FUNCTION_FAILED;
    }
    std::ranges::copy(produced, signature);
    *signatureLength = row.signatureLength;
    return CKR_OK;
}

CK_RV signWithRsa(CardContext& context, const Operation& operation, std::span<const uint8_t> data, uint8_t* signature,
                  CK_ULONG* signatureLength) {
    uint32_t modulusBytes = 0;
    if (detail::rsaModulusBytes(operation.key, modulusBytes) != CKR_OK) return CKR_FUNCTION_FAILED;
    if (data.size() + 11 > modulusBytes) return CKR_DATA_LEN_RANGE;  // room for the type-1 padding
    if (CK_RV rv = CKR_OK; answeredLengthOnly(signature, signatureLength, modulusBytes, rv)) return rv;

    uint8_t reference = 0;
    if (rsaKeyReference(context, operation.key.record, operation.key.recordNumber, true, reference) != CKR_OK) {
        return CKR_FUNCTION_FAILED;
    }
    std::array<uint8_t, kRsaModulusBytes> produced{};
    if (signRsa(context, reference, data, produced) != result::kOk) return CKR_FUNCTION_FAILED;
    std::ranges::copy(produced, signature);
    *signatureLength = modulusBytes;
    return CKR_OK;
}

CK_RV judgeVerification(CardResult verified) noexcept {
    if (verified == result::kOk) return CKR_OK;
    if (verified == result::kSignatureRejected) return CKR_SIGNATURE_INVALID;
    return CKR_FUNCTION_FAILED;
}

CK_RV verifyWithGost(CardContext& context, const Operation& operation, const OperationRecord& state,
                     std::span<const uint8_t> data, std::span<const uint8_t> signature) {
    const SignatureMechanism& row = *operation.row;
    uint8_t reference = 0;
    if (detail::gostKeyReference(operation.key, reference) != CKR_OK) return CKR_FUNCTION_FAILED;
    if (row.hash == MessageHash::kNone && data.size() != row.hashLength()) return CKR_DATA_LEN_RANGE;
    if (signature.size() != row.signatureLength) return CKR_SIGNATURE_LEN_RANGE;

    std::array<uint8_t, kLongestGostHash> hash{};
    if (!gostHashOf(row, state, data, hash)) return CKR_FUNCTION_FAILED;
    return judgeVerification(verifyGostHash(context, reference, std::span(hash).first(row.hashLength()), signature));
}

CK_RV verifyWithRsa(CardContext& context, const Operation& operation, std::span<const uint8_t> data,
                    std::span<const uint8_t> signature) {
    uint32_t modulusBytes = 0;
    if (detail::rsaModulusBytes(operation.key, modulusBytes) != CKR_OK) return CKR_FUNCTION_FAILED;
    if (data.size() + 11 > modulusBytes) return CKR_DATA_LEN_RANGE;
    if (signature.size() != modulusBytes) return CKR_SIGNATURE_LEN_RANGE;

    uint8_t reference = 0;
    if (rsaKeyReference(context, operation.key.record, operation.key.recordNumber, false, reference) != CKR_OK) {
        return CKR_FUNCTION_FAILED;
    }
    return judgeVerification(verifyRsa(context, reference, data, signature.first<kRsaModulusBytes>()));
}

}  // namespace

CK_RV signData(const HostContext& host, const LoginRecord* login, const uint8_t* data, CK_ULONG dataLength,
               uint8_t* signature, CK_ULONG* signatureLength, const ObjectHandle* key, const OperationRecord* state,
               CK_MECHANISM_TYPE mechanism) {
    if (data == nullptr || dataLength == 0 || signatureLength == nullptr) return CKR_ARGUMENTS_BAD;
    CardContext context(host);
    Operation operation;
    if (const CK_RV rv = startOperation(context, login, key, state, mechanism, KeyUse::kSign, operation);
        rv != CKR_OK) {
        return rv;
    }
    const std::span input(data, dataLength);
    if (operation.row->isGost()) return signWithGost(host, operation, *state, input, signature, signatureLength);
    return signWithRsa(context, operation, input, signature, signatureLength);
}

CK_RV verifyData(const HostContext& host, const LoginRecord* login, const uint8_t* data, CK_ULONG dataLength,
                 const uint8_t* signature, CK_ULONG signatureLength, const ObjectHandle* key,
                 const OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    if (data == nullptr || dataLength == 0 || signature == nullptr || signatureLength == 0) {
        return CKR_ARGUMENTS_BAD;
    }
    CardContext context(host);
    Operation operation;
    if (const CK_RV rv = startOperation(context, login, key, state, mechanism, KeyUse::kVerify, operation);
        rv != CKR_OK) {
        return rv;
    }
    const std::span input(data, dataLength);
    const std::span given(signature, signatureLength);
    if (operation.row->isGost()) return verifyWithGost(context, operation, *state, input, given);
    return verifyWithRsa(context, operation, input, given);
}

CK_RV verifyRecover(const HostContext& host, const LoginRecord* login, const uint8_t* signature,
                    CK_ULONG signatureLength, uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                    const OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    if (signature == nullptr || outputLength == nullptr) return CKR_ARGUMENTS_BAD;
    if (signatureLength == 0) return CKR_SIGNATURE_LEN_RANGE;
    if (key == nullptr || state == nullptr || mechanism != CKM_RSA_PKCS) return CKR_FUNCTION_FAILED;
    if (const CK_RV rv = detail::checkKeyClass(*key, KeyUse::kVerify); rv != CKR_OK) return rv;

    CardContext context(host);
    detail::UsableKey usable;
    const detail::KeyDemands demands{KeyUse::kVerify, CKK_RSA, true, true};
    if (const CK_RV rv = detail::loadUsableKey(context, *key, login, demands, usable); rv != CKR_OK) return rv;
    if (signatureLength != usable.modulusBits / 8) return CKR_SIGNATURE_LEN_RANGE;
    uint32_t modulusBytes = 0;
    if (detail::rsaModulusBytes(usable, modulusBytes) != CKR_OK) return CKR_FUNCTION_FAILED;

    uint8_t reference = 0;
    if (rsaKeyReference(context, usable.record, usable.recordNumber, false, reference) != CKR_OK)
        return CKR_FUNCTION_FAILED;
    std::array<uint8_t, kRsaModulusBytes> block{};
    const std::span<const uint8_t, kRsaModulusBytes> given(signature, kRsaModulusBytes);
    if (rsaPublicTransform(context, reference, given, block) != result::kOk) return CKR_FUNCTION_FAILED;

    const std::span<const uint8_t> recovered = unpadSignatureBlock(block);
    if (recovered.empty()) return CKR_SIGNATURE_INVALID;
    const auto length = static_cast<CK_ULONG>(recovered.size());
    if (CK_RV rv = CKR_OK; answeredLengthOnly(output, outputLength, length, rv)) return rv;
    std::ranges::copy(recovered, output);
    *outputLength = length;
    return CKR_OK;
}

}  // namespace korva::sign
