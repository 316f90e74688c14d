#include "sign/digest.h"

#include "sign/gost_hash.h"
#include "session/mechanisms.h"

#include <algorithm>
#include <array>
#include <span>

namespace korva::sign {
namespace {

using namespace korva::abi;

constexpr std::array<DigestMechanism, 9> kDigestMechanisms{{
    {CKM_MD5, DigestFamily::kLibrary, "MD5", 16},
    {CKM_SHA_1, DigestFamily::kLibrary, "SHA1", 20},
    {CKM_SHA256, DigestFamily::kLibrary, "SHA256", 32},
    {CKM_SHA224, DigestFamily::kLibrary, "SHA224", 28},
    {CKM_SHA384, DigestFamily::kLibrary, "SHA384", 48},
    {CKM_SHA512, DigestFamily::kLibrary, "SHA512", 64},
    {CKM_GOSTR3411, DigestFamily::kGost94, "md_gost94", 32},
    {CKM_GOSTR3411_12_256, DigestFamily::kGost2012, "md_gost12_256", 32},
    {CKM_GOSTR3411_12_512, DigestFamily::kGost2012, "md_gost12_512", 64},
}};

constexpr std::size_t kMaxDigestParameter = sizeof(DigestParameterState::der);

bool hashWith(const DigestMechanism& row, std::span<const uint8_t> data, const DigestParameterState& parameter,
              std::span<uint8_t> out) {
    switch (row.family) {
        case DigestFamily::kLibrary: return hashByName(row.digestName, data, out) == row.length;
        case DigestFamily::kGost94: {
            // The record is the host's: bound its length before reading it.
            if (parameter.length > kMaxDigestParameter) return false;
            return hashGost94(data, std::span(parameter.der, parameter.length), out.first<kGost94Length>());
        }
        case DigestFamily::kGost2012: return hashGost2012(data, row.length * 8, out);
    }
    return false;
}

}  // namespace

const DigestMechanism* findDigestMechanism(CK_MECHANISM_TYPE type) noexcept {
    const auto found = std::ranges::find(kDigestMechanisms, type, &DigestMechanism::type);
    return found == kDigestMechanisms.end() ? nullptr : &*found;
}

CK_RV digestInit(const HostContext& host, const CK_MECHANISM* mechanism, OperationRecord* state) {
    CardContext context(host);
    const auto supported = token::activeMechanisms(context);
    if (mechanism == nullptr || state == nullptr) return CKR_FUNCTION_FAILED;
    if (findDigestMechanism(mechanism->mechanism) == nullptr ||
        token::findMechanism(supported, mechanism->mechanism) == nullptr) {
        return CKR_MECHANISM_INVALID;
    }

    std::ranges::fill(state->bytes, uint8_t{0});
    if (mechanism->pParameter == nullptr) return CKR_OK;
    if (mechanism->mechanism != CKM_GOSTR3411) return CKR_MECHANISM_PARAM_INVALID;

    // An empty parameter leaves the record at zero: the hash then names no
    // parameter set, like an initialisation without one.
    const CK_ULONG length = mechanism->ulParameterLen;
    if (length > kMaxDigestParameter) return CKR_MECHANISM_PARAM_INVALID;
    const std::span parameter(static_cast<const uint8_t*>(mechanism->pParameter), length);
    if (length != 0 && !token::matchParameterSet(token::parameter_kind::kDigest, parameter).has_value()) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    state->digest.length = static_cast<uint8_t>(length);
    std::ranges::copy(parameter, state->digest.der);
    return CKR_OK;
}

CK_RV digest(const uint8_t* data, CK_ULONG dataLength, uint8_t* digest, CK_ULONG* digestLength,
             const OperationRecord* state, CK_MECHANISM_TYPE mechanism) {
    if (digestLength == nullptr) return CKR_ARGUMENTS_BAD;
    // Data announced but not given would be read from address zero.
    if (data == nullptr && dataLength != 0) return CKR_ARGUMENTS_BAD;
    if (state == nullptr) return CKR_FUNCTION_FAILED;
    const DigestMechanism* row = findDigestMechanism(mechanism);
    if (row == nullptr) return CKR_FUNCTION_FAILED;

    const CK_ULONG available = *digestLength;
    *digestLength = row->length;
    if (digest == nullptr) return CKR_OK;
    if (available < row->length) return CKR_BUFFER_TOO_SMALL;

    const std::span<const uint8_t> input = data == nullptr ? std::span<const uint8_t>{} : std::span(data, dataLength);
    if (!hashWith(*row, input, state->digest, std::span(digest, row->length))) {
        return CKR_FUNCTION_FAILED;
    }
    return CKR_OK;
}

}  // namespace korva::sign
