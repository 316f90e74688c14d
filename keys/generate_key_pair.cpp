#include "keys/generate_key_pair.h"

#include "keys/gost_key_pair.h"
#include "keys/key_pair_store.h"
#include "keys/key_pair_templates.h"
#include "keys/rsa_key_pair.h"

#include "session/settings.h"

#include <korva/pkcs11_constants.h>

#include <span>

namespace korva::keys {

abi::CK_RV generateKeyPair(const HostContext& host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                           const abi::CK_ATTRIBUTE* publicTemplate, uint32_t publicCount,
                           const abi::CK_ATTRIBUTE* privateTemplate, uint32_t privateCount,
                           const abi::CK_MECHANISM* mechanism, abi::ObjectHandle* publicHandle,
                           abi::ObjectHandle* privateHandle, abi::ObjectSummary* publicSummary,
                           abi::ObjectSummary* privateSummary) noexcept {
    const KeyPairOutputs outputs{publicHandle, privateHandle, publicSummary, privateSummary};
    if (mechanism == nullptr || !outputs.complete() || (publicTemplate == nullptr && publicCount != 0) ||
        (privateTemplate == nullptr && privateCount != 0)) {
        return abi::CKR_ARGUMENTS_BAD;
    }
    const KeyPairMechanism* row = findKeyPairMechanism(mechanism->mechanism);
    if (row == nullptr) return abi::CKR_MECHANISM_INVALID;
    // The settings give the directories' growth steps.
    const auto tokenSettings = token::copyHostSettings(settings);
    if (!tokenSettings) return abi::CKR_ARGUMENTS_BAD;

    const std::span<const abi::CK_ATTRIBUTE> publicList(publicTemplate, publicCount);
    const std::span<const abi::CK_ATTRIBUTE> privateList(privateTemplate, privateCount);
    const abi::CK_RV rv =
        row->family == objects::KeyFamily::Rsa
            ? generateRsaKeyPair(host, login, *tokenSettings, publicList, privateList, outputs)
            : generateGostKeyPair(host, login, *tokenSettings, publicList, privateList, *row, outputs);
    if (rv != abi::CKR_OK) return rv;

    // Both paths leave the application subdirectory current.
    CardContext context(host);
    return bumpKeyPairCounters(context) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

}  // namespace korva::keys
