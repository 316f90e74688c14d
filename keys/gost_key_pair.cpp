#include "keys/gost_key_pair.h"

#include "objects/layout.h"

#include "card/security_ops.h"
#include "session/mechanisms.h"

#include <korva/pkcs11_constants.h>

namespace korva::keys {
namespace {

// Everything that can be decided without touching the card's key store:
// the lists, the parameters and the size of the records they make.
CK_RV prepareLists(std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                   const KeyPairMechanism& mechanism, KeyPairLists& lists, GostGeneration& generation,
                   PrivateFlags& flags) noexcept {
    if (const CK_RV rv = copyTemplates(publicTemplate, privateTemplate, lists); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = pairKeyIds(lists); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = chooseGostParameters(lists, mechanism, generation.choice); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = readPrivateFlags(lists, flags); rv != abi::CKR_OK) return rv;
    bool derive = false;
    generation.derive =
        lists.privateKey.getBoolean(abi::CKA_DERIVE, derive) == objects::TemplateLookup::Found && derive;
    // A record too long to store is known before any directory grows: the
    // key reference that comes later always takes the same room.
    if (const CK_RV rv = setKeyReference(lists, kFirstKeySlot); rv != abi::CKR_OK) return rv;
    EncodedPair trial;
    return encodeLists(lists, trial);
}

CK_RV chooseKeySlot(CardContext& context, uint8_t& slot) noexcept {
    card::CardInformation information;
    if (card::readCardInformation(context, information) != result::kOk) return abi::CKR_FUNCTION_FAILED;
    const std::optional<uint8_t> free = firstFreeKeySlot(information);
    if (!free) return abi::CKR_DEVICE_MEMORY;
    slot = *free;
    return abi::CKR_OK;
}

}  // namespace

std::optional<uint8_t> firstFreeKeySlot(const card::CardInformation& information) noexcept {
    for (unsigned slot = kFirstKeySlot; slot <= kLastKeySlot; ++slot)
        if (information.bytes[slot - 1] == 0) return static_cast<uint8_t>(slot);
    return std::nullopt;
}

CK_RV sendGostGeneration(CardContext& context, const GostGeneration& generation) noexcept {
    const card::OnCardKeyRequest request{objects::cardKeyFileId(generation.keySlot), generation.choice.curveCode,
                                         generation.keySlot, generation.derive};
    // The long form's last flag marks a GOST R 34.10-2012 key: set for every
    // key hashed with GOST R 34.11-2012, and by the key type for 512 bits.
    const CardResult rc = generation.longForm ? card::generateKeyOnCardLong(context, request, generation.choice.keyType,
                                                                            generation.choice.hash2012)
                                              : card::generateKeyOnCard(context, request);
    return creationToRv(rc);
}

CK_RV generateGostKeyPair(const HostContext& host, const abi::LoginRecord* login, const token::TokenSettings& settings,
                          std::span<const CK_ATTRIBUTE> publicTemplate, std::span<const CK_ATTRIBUTE> privateTemplate,
                          const KeyPairMechanism& mechanism, const KeyPairOutputs& outputs) noexcept {
    CardContext context(host);
    GostGeneration generation;
    generation.longForm = token::supportsGost2012(context);
    if (mechanism.keyType == abi::CKK_GOSTR3410_512 && !generation.longForm) return abi::CKR_MECHANISM_INVALID;

    KeyPairLists lists;
    PrivateFlags flags;
    if (const CK_RV rv = prepareLists(publicTemplate, privateTemplate, mechanism, lists, generation, flags);
        rv != abi::CKR_OK) {
        return rv;
    }
    KeyPairRecords records;
    if (const CK_RV rv = reserveRecords(context, login, settings, records); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = chooseKeySlot(context, generation.keySlot); rv != abi::CKR_OK) return rv;
    EncodedPair encoded;
    if (const CK_RV rv = setKeyReference(lists, generation.keySlot); rv != abi::CKR_OK) return rv;
    if (const CK_RV rv = encodeLists(lists, encoded); rv != abi::CKR_OK) return rv;

    // A pair that fails from here on leaves no half of it on the token: the
    // key slot goes back to the card and the records stay free.
    card::WriteRollback rollback(context);
    const CK_RV generated = sendGostGeneration(context, generation);
    // No room means nothing was made; after any other answer the card may
    // hold a key in the slot.
    if (generated != abi::CKR_DEVICE_MEMORY && !rollback.freeKeySlotOnUndo(generation.keySlot)) {
        return abi::CKR_FUNCTION_FAILED;
    }
    if (generated != abi::CKR_OK) return generated;
    if (const CK_RV rv = storePair(context, lists, records, encoded, true, rollback); rv != abi::CKR_OK) return rv;
    rollback.commit();
    reportPair(records, flags, outputs);
    return abi::CKR_OK;
}

}  // namespace korva::keys
