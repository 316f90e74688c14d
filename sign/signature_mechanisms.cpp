#include "sign/signature_mechanisms.h"

#include "sign/gost_hash.h"

#include <algorithm>
#include <array>

namespace korva::sign {
namespace {

using namespace korva::abi;

constexpr std::array<SignatureMechanism, 6> kSignatureMechanisms{{
    {CKM_RSA_PKCS, CKK_RSA, MessageHash::kNone, 0},
    {CKM_GOSTR3410, CKK_GOSTR3410, MessageHash::kNone, 64},
    {CKM_GOSTR3410_WITH_GOSTR3411, CKK_GOSTR3410, MessageHash::kGost94, 64},
    {CKM_GOSTR3410_512, CKK_GOSTR3410_512, MessageHash::kNone, 128},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_256, CKK_GOSTR3410, MessageHash::kGost2012_256, 64},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_512, CKK_GOSTR3410_512, MessageHash::kGost2012_512, 128},
}};

constexpr std::size_t kLongestDigestParameter = sizeof(DigestParameterState::der);

}  // namespace

const SignatureMechanism* findSignatureMechanism(CK_MECHANISM_TYPE type) noexcept {
    const auto found = std::ranges::find(kSignatureMechanisms, type, &SignatureMechanism::type);
    return found == kSignatureMechanisms.end() ? nullptr : &*found;
}

const SignatureMechanism* acceptedSignatureMechanism(std::span<const token::MechanismRow> offered,
                                                     CK_MECHANISM_TYPE type) noexcept {
    const SignatureMechanism* row = findSignatureMechanism(type);
    if (row == nullptr || token::findMechanism(offered, type) == nullptr) return nullptr;
    return row;
}

bool hashMessage(const SignatureMechanism& mechanism, const OperationRecord& state, std::span<const uint8_t> message,
                 std::span<uint8_t> out) noexcept {
    if (out.size() < mechanism.hashLength()) return false;
    switch (mechanism.hash) {
        case MessageHash::kNone: return false;
        case MessageHash::kGost94: {
            // The record comes back from the host: bound its length before
            // reading it. An empty record names no parameter set and is
            // refused; a named one must be a digest parameter set, which
            // the hash function checks.
            const uint8_t length = state.digest.length;
            if (length == 0 || length > kLongestDigestParameter) return false;
            return hashGost94(message, std::span(state.digest.der, length), out.first<kGost94Length>());
        }
        case MessageHash::kGost2012_256: return hashGost2012(message, 256, out.first(32));
        case MessageHash::kGost2012_512: return hashGost2012(message, 512, out.first(64));
    }
    return false;
}

}  // namespace korva::sign
