// The initialisation slots: mechanism and key checks, and the operation
// record that carries the GOST R 34.11-94 parameter set to the operation.
#include "sign/signing.h"

#include "sign/signature_mechanisms.h"
#include "sign/signing_key.h"

#include "objects/attribute_record.h"
#include "session/mechanisms.h"

#include <algorithm>
#include <array>
#include <span>

namespace korva::sign {
namespace {

using namespace korva::abi;
using detail::KeyUse;

constexpr std::size_t kLongestDigestParameter = sizeof(DigestParameterState::der);

// GOST R 34.11-94 with the CryptoPro parameter set, 1.2.643.2.2.30.1.
constexpr std::array<uint8_t, 9> kDefaultDigestParameter = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};

bool isDigestParameterSet(std::span<const uint8_t> der) noexcept {
    return token::matchParameterSet(token::parameter_kind::kDigest, der).has_value();
}

void storeDigestParameter(OperationRecord& state, std::span<const uint8_t> der) noexcept {
    state.digest.length = static_cast<uint8_t>(der.size());
    std::ranges::copy(der, state.digest.der);
}

// CKM_GOSTR3410_WITH_GOSTR3411: the host's parameter as given (an empty one
// leaves the record empty, and signing then refuses it); without one, the
// key's own CKA_GOSTR3411_PARAMS only has to be valid, the record always
// gets the CryptoPro parameter set.
CK_RV fillDigestParameter(const CK_MECHANISM& mechanism, std::span<const uint8_t> keyRecord,
                          OperationRecord& state) noexcept {
    if (mechanism.pParameter != nullptr) {
        if (mechanism.ulParameterLen > kLongestDigestParameter) return CKR_MECHANISM_PARAM_INVALID;
        const std::span parameter(static_cast<const uint8_t*>(mechanism.pParameter), mechanism.ulParameterLen);
        if (!parameter.empty() && !isDigestParameterSet(parameter)) return CKR_MECHANISM_PARAM_INVALID;
        storeDigestParameter(state, parameter);
        return CKR_OK;
    }
    const objects::RecordLookup stored = objects::findInRecord(keyRecord, CKA_GOSTR3411_PARAMS);
    if (stored.result == objects::LookupResult::Malformed) return CKR_FUNCTION_FAILED;
    if (stored.result == objects::LookupResult::Found && !isDigestParameterSet(stored.value)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    storeDigestParameter(state, kDefaultDigestParameter);
    return CKR_OK;
}

CK_RV initialise(const HostContext& host, const CK_MECHANISM* mechanism, const ObjectHandle* key,
                 OperationRecord* state, KeyUse use) {
    CardContext context(host);
    const auto offered = token::activeMechanisms(context);
    if (mechanism == nullptr || key == nullptr || state == nullptr) return CKR_FUNCTION_FAILED;
    const SignatureMechanism* row = acceptedSignatureMechanism(offered, mechanism->mechanism);
    if (row == nullptr) return CKR_MECHANISM_INVALID;
    if (const CK_RV rv = detail::checkKeyClass(*key, use); rv != CKR_OK) return rv;

    detail::UsableKey usable;
    const detail::KeyDemands demands{use, row->keyType, false, false};
    if (const CK_RV rv = detail::loadUsableKey(context, *key, nullptr, demands, usable); rv != CKR_OK) return rv;

    std::ranges::fill(state->bytes, uint8_t{0});
    if (row->hash == MessageHash::kGost94) return fillDigestParameter(*mechanism, usable.record.view(), *state);
    return mechanism->pParameter == nullptr ? CKR_OK : CKR_MECHANISM_PARAM_INVALID;
}

}  // namespace

CK_RV signInit(const HostContext& host, const CK_MECHANISM* mechanism, const ObjectHandle* key,
               OperationRecord* state) {
    return initialise(host, mechanism, key, state, KeyUse::kSign);
}

CK_RV verifyInit(const HostContext& host, const CK_MECHANISM* mechanism, const ObjectHandle* key,
                 OperationRecord* state) {
    return initialise(host, mechanism, key, state, KeyUse::kVerify);
}

}  // namespace korva::sign
