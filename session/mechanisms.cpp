#include "session/mechanisms.h"

#include "card/identity.h"

#include <algorithm>
#include <array>

namespace korva::token {

namespace {

using namespace korva::abi;

constexpr uint32_t kCipher = CKF_HW | CKF_ENCRYPT | CKF_DECRYPT;
constexpr uint32_t kSignVerify = CKF_HW | CKF_SIGN | CKF_VERIFY;
constexpr uint32_t kRsaCipher = CKF_HW | CKF_SIGN | CKF_SIGN_RECOVER | CKF_VERIFY | CKF_VERIFY_RECOVER;
constexpr uint32_t kKeyPair = CKF_HW | CKF_GENERATE_KEY_PAIR;
constexpr uint32_t kKeyGen = CKF_HW | CKF_GENERATE;
constexpr uint32_t kDerive = CKF_HW | CKF_DERIVE;

// GOST keys carry their size in their parameter set, so their rows state no
// key sizes. The software mechanisms (GOST 28147-89 and the digests) have no
// CKF_HW bit.
constexpr std::array<MechanismRow, kAllMechanismCount> kMechanisms = {{
    {CKM_GOST28147, 0, 0, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_GOST28147_ECB, 0, 0, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_GOSTR3410, 0, 0, kSignVerify},
    {CKM_GOSTR3410_WITH_GOSTR3411, 0, 0, kSignVerify},
    {CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 1024, kKeyPair},
    {CKM_GOSTR3410_KEY_PAIR_GEN, 0, 0, kKeyPair},
    {CKM_RSA_PKCS, 1024, 1024, kRsaCipher},
    {CKM_RSA_X_509, 1024, 1024, kRsaCipher},
    {CKM_SHA_1, 0, 0, CKF_DIGEST},
    {CKM_MD5, 0, 0, CKF_DIGEST},
    {CKM_SHA256, 0, 0, CKF_DIGEST},
    {CKM_GOSTR3411, 0, 0, CKF_DIGEST},
    {CKM_SHA224, 0, 0, CKF_DIGEST},
    {CKM_SHA384, 0, 0, CKF_DIGEST},
    {CKM_SHA512, 0, 0, CKF_DIGEST},
    {CKM_AES_ECB, 16, 16, kCipher},
    {CKM_AES_CBC, 16, 16, kCipher},
    {CKM_AES_CBC_PAD, 16, 16, kCipher},
    {CKM_DES_ECB, 8, 8, kCipher},
    {CKM_DES_CBC, 8, 8, kCipher},
    {CKM_DES_CBC_PAD, 8, 8, kCipher},
    {CKM_DES3_ECB, 16, 16, kCipher},
    {CKM_DES3_CBC, 16, 16, kCipher},
    {CKM_DES3_CBC_PAD, 16, 16, kCipher},
    {CKM_AES_KEY_GEN, 16, 32, kKeyGen},
    {CKM_DES_KEY_GEN, 8, 8, kKeyGen},
    {CKM_DES2_KEY_GEN, 16, 16, kKeyGen},
    {CKM_GOSTR3410_DERIVE, 0, 0, kDerive},
    {CKM_GOST28147_KEY_WRAP, 0, 0, 0},
    // GOST R 34.10-2012 and 34.11-2012: only on cards that support them.
    {CKM_GOSTR3410_12_DERIVE, 0, 0, kDerive},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_256, 0, 0, kSignVerify},
    {CKM_GOSTR3410_512, 0, 0, kSignVerify},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_512, 0, 0, kSignVerify},
    {CKM_GOSTR3411_12_256, 0, 0, CKF_DIGEST},
    {CKM_GOSTR3411_12_512, 0, 0, CKF_DIGEST},
    {CKM_GOSTR3410_512_KEY_PAIR_GEN, 0, 0, kKeyPair},
}};

// The capability answer: 31 bytes, of which byte 29 is 1 on a card that
// only knows GOST R 34.10-2001.
constexpr uint32_t kCapabilityAnswerLength = 31;
constexpr std::size_t kCapabilityGostByte = 29;
constexpr uint8_t kOnly2001 = 1;

struct ParameterSet {
    uint32_t kind;
    std::array<uint8_t, 11> der;  // 06 len value, zero-filled behind
    uint8_t code;

    std::span<const uint8_t> encoding() const noexcept { return std::span(der).first(std::size_t{2} + der[1]); }
};

// Order matters only where two identifiers share a code; the first match wins.
constexpr std::array<ParameterSet, 16> kParameterSets = {{
    {parameter_kind::kCipher, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01}, 5},
    {parameter_kind::kCipher, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x02}, 6},
    {parameter_kind::kCipher, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x03}, 7},
    {parameter_kind::kCipher, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x04}, 8},
    {parameter_kind::kPublicKey, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01}, 2},
    {parameter_kind::kPublicKey, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02}, 1},
    {parameter_kind::kPublicKey, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x03}, 3},
    {parameter_kind::kPublicKey, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00}, 2},
    {parameter_kind::kPublicKey, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01}, 3},
    {parameter_kind::kPublicKey, {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x01, 0x01}, 5},
    {parameter_kind::kPublicKey, {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x01}, 9},
    {parameter_kind::kPublicKey, {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x02}, 10},
    {parameter_kind::kPublicKey, {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x03}, 11},
    {parameter_kind::kDigest, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01}, 9},
    {parameter_kind::kDigest, {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02}, 0},
    {parameter_kind::kDigest, {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x03}, 1},
}};

}  // namespace

bool supportsGost2012(CardContext& context) noexcept {
    if (card::queryCardCapability(context) != result::kOk) return false;
    if (context.responseLength != kCapabilityAnswerLength) return false;
    return context.response[kCapabilityGostByte] != kOnly2001;
}

std::span<const MechanismRow> allMechanisms() noexcept { return kMechanisms; }

std::span<const MechanismRow> activeMechanisms(CardContext& context) noexcept {
    const std::size_t rows = supportsGost2012(context) ? kAllMechanismCount : k2001MechanismCount;
    return std::span(kMechanisms).first(rows);
}

const MechanismRow* findMechanism(std::span<const MechanismRow> rows, uint32_t type) noexcept {
    const auto found =
        std::find_if(rows.begin(), rows.end(), [type](const MechanismRow& row) { return row.type == type; });
    return found == rows.end() ? nullptr : &*found;
}

std::optional<uint8_t> matchParameterSet(uint32_t kind, std::span<const uint8_t> derOid) noexcept {
    for (const ParameterSet& set : kParameterSets) {
        if (set.kind != kind) continue;
        const auto encoding = set.encoding();
        if (derOid.size() >= encoding.size() && std::equal(encoding.begin(), encoding.end(), derOid.begin())) {
            return set.code;
        }
    }
    return std::nullopt;
}

bool matchParameterSet(uint32_t kind, std::span<const uint8_t> derOid, uint8_t* code) noexcept {
    const auto match = matchParameterSet(kind, derOid);
    if (!match) return false;
    if (code != nullptr) *code = *match;
    return true;
}

CK_RV getMechanismList(const HostContext& host, CK_MECHANISM_TYPE* list, uint32_t* count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    CardContext context(host);
    const auto rows = activeMechanisms(context);
    const auto needed = static_cast<uint32_t>(rows.size());
    if (list == nullptr) {
        *count = needed;
        return CKR_OK;
    }
    if (*count < needed) {
        *count = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::ranges::transform(rows, list, &MechanismRow::type);
    *count = needed;
    return CKR_OK;
}

CK_RV getMechanismInfo(const HostContext& host, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    CardContext context(host);
    const auto rows = activeMechanisms(context);
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    const MechanismRow* row = findMechanism(rows, type);
    if (row == nullptr) return CKR_MECHANISM_INVALID;
    *info = CK_MECHANISM_INFO{row->minKeySize, row->maxKeySize, row->flags};
    return CKR_OK;
}

// One capability query serves the count and the rows, so the list cannot
// change length between the two.
CK_RV getMechanismsWithInfo(const HostContext& host, MechanismInfoEntry* entries, uint32_t* count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    CardContext context(host);
    const auto rows = activeMechanisms(context);
    const auto needed = static_cast<uint32_t>(rows.size());
    if (entries == nullptr) {
        *count = needed;
        return CKR_OK;
    }
    if (*count < needed) {
        *count = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::ranges::transform(rows, entries, [](const MechanismRow& row) {
        return MechanismInfoEntry{row.type, row.minKeySize, row.maxKeySize, row.flags};
    });
    *count = needed;
    return CKR_OK;
}

}  // namespace korva::token
