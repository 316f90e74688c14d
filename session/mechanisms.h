// The mechanisms the token reports, and the card's one-byte codes for the
// GOST parameter-set and digest object identifiers.
#pragma once

#include "card/card_context.h"

#include <korva/pkcs11_types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korva::token {

struct MechanismRow {
    uint32_t type;
    uint32_t minKeySize;
    uint32_t maxKeySize;
    uint32_t flags;
};

// Every row, in the order the host sees them. A card without GOST R
// 34.10-2012 support offers only the first k2001MechanismCount rows.
std::span<const MechanismRow> allMechanisms() noexcept;
inline constexpr std::size_t kAllMechanismCount = 36;
inline constexpr std::size_t k2001MechanismCount = 29;

// Asks the card for its capabilities (80 FE 00 00 00): a full 31-byte
// answer whose byte 29 is not 1 means GOST R 34.10-2012 support; byte 29 =
// 1, or any failure of the query, means a GOST R 34.10-2001 card.
bool supportsGost2012(CardContext& context) noexcept;

// The same query, answered with the rows the card supports.
std::span<const MechanismRow> activeMechanisms(CardContext& context) noexcept;

// The row of `type` among `rows`, if any.
const MechanismRow* findMechanism(std::span<const MechanismRow> rows, uint32_t type) noexcept;

// Kinds of identifier the card has codes for.
namespace parameter_kind {
inline constexpr uint32_t kCipher = 0;     // GOST 28147-89 parameter sets
inline constexpr uint32_t kPublicKey = 1;  // GOST R 34.10 parameter sets
inline constexpr uint32_t kDigest = 3;     // GOST R 34.11 digests
}  // namespace parameter_kind

// The DER identifiers of GOST R 34.11-2012 with 256- and 512-bit output, as
// key templates (CKA_GOSTR3411_PARAMS) and certificate requests name them.
inline constexpr std::array<uint8_t, 10> kStreebog256 = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
inline constexpr std::array<uint8_t, 10> kStreebog512 = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x03};

// Maps a DER-encoded object identifier (tag 06, length, value) to the card's
// code for it. `derOid` must begin with the complete encoding; bytes after it
// are ignored. Unknown kinds and identifiers give nothing.
std::optional<uint8_t> matchParameterSet(uint32_t kind, std::span<const uint8_t> derOid) noexcept;

// The same, storing the code through `code` when it is not null.
bool matchParameterSet(uint32_t kind, std::span<const uint8_t> derOid, uint8_t* code) noexcept;

// Slot 9: the mechanism types the card supports (length query with a null
// list).
abi::CK_RV getMechanismList(const HostContext& host, abi::CK_MECHANISM_TYPE* list, uint32_t* count);

// Slot 10: one mechanism's key sizes and flags.
abi::CK_RV getMechanismInfo(const HostContext& host, abi::CK_MECHANISM_TYPE type, abi::CK_MECHANISM_INFO* info);

// Slot 72: the list and the information together (length query with null
// entries).
abi::CK_RV getMechanismsWithInfo(const HostContext& host, abi::MechanismInfoEntry* entries, uint32_t* count);

}  // namespace korva::token
