#include "keys/key_derivation.h"

#include "keys/derive_parameters.h"
#include "keys/key_demands.h"

#include "card/security_ops.h"
#include "card/select.h"
#include "common/wiped_bytes.h"
#include "objects/create_object.h"
#include "objects/layout.h"
#include "objects/object_bodies.h"
#include "objects/template_record.h"
#include "session/mechanisms.h"
#include "session/pin.h"

#include <korva/pkcs11_constants.h>

#include <openssl/crypto.h>

#include <array>

namespace korva::keys {
namespace {

using abi::CK_RV;
using objects::TemplateResult;

constexpr std::array<uint32_t, 2> kAgreementKeyTypes = {abi::CKK_GOSTR3410, abi::CKK_GOSTR3410_512};
constexpr KeyDemand kBaseKey = {objects::directoryOf(objects::ObjectClass::PrivateKey), abi::CKA_DERIVE, false,
                                kAgreementKeyTypes};

// P1 of the card's key agreement tells the card's generation: 01 on a card
// that knows GOST R 34.10-2012, 00 on a GOST R 34.10-2001 card. The card
// chooses the agreement function from its own key (a 2001 key agrees as
// 2001 keys do, a 2012 key as 2012 keys do), so the same base key gives the
// same key whichever mechanism names it.
constexpr uint8_t kAgreementOn2001Card = 0x00;
constexpr uint8_t kAgreementOn2012Card = 0x01;

CK_RV checkMechanism(CardContext& context, uint32_t type) noexcept {
    if (type != abi::CKM_GOSTR3410_DERIVE && type != abi::CKM_GOSTR3410_12_DERIVE) return abi::CKR_MECHANISM_INVALID;
    // The 2012 mechanism exists only on cards that report it.
    return token::findMechanism(token::activeMechanisms(context), type) != nullptr ? abi::CKR_OK
                                                                                   : abi::CKR_MECHANISM_INVALID;
}

CK_RV agreeOnCard(CardContext& context, const abi::LoginRecord* login, const objects::KeyRecord& record,
                  const DeriveInputs& inputs, std::span<uint8_t, card::kAgreedKeySize> agreed) noexcept {
    uint8_t reference = 0;
    if (token::loginWith(context, login) != result::kOk ||
        objects::keyReferenceOf(record.view(), reference) != objects::KeyReferenceLookup::Found ||
        card::selectKeyDirectory(context) != result::kOk) {
        return abi::CKR_FUNCTION_FAILED;
    }
    const uint8_t generation = token::supportsGost2012(context) ? kAgreementOn2012Card : kAgreementOn2001Card;
    const card::KeyAgreementRequest request{generation, reference, inputs.peerPublicKey, inputs.ukm};
    return card::agreeKey(context, request, agreed) == result::kOk ? abi::CKR_OK : abi::CKR_FUNCTION_FAILED;
}

// The new key's list: the template, the agreed value in place of any value
// the template gave, and CKA_PRIVATE true unless the template chose.
CK_RV buildList(std::span<const abi::CK_ATTRIBUTE> tmpl, std::span<const uint8_t> agreed,
                objects::TemplateRecord& list) noexcept {
    if (list.fill(tmpl) != TemplateResult::Ok) return abi::CKR_FUNCTION_FAILED;
    list.removeAll(abi::CKA_VALUE);
    if (list.appendBytes(abi::CKA_VALUE, agreed) != TemplateResult::Ok) return abi::CKR_FUNCTION_FAILED;
    bool isPrivate = false;
    if (list.getBoolean(abi::CKA_PRIVATE, isPrivate) == objects::TemplateLookup::Absent) {
        list.remove(abi::CKA_PRIVATE);
        if (list.appendBoolean(abi::CKA_PRIVATE, true) != TemplateResult::Ok) return abi::CKR_FUNCTION_FAILED;
    }
    return abi::CKR_OK;
}

}  // namespace

CK_RV deriveKey(const abi::HostContext& host, const abi::LoginRecord* login, const abi::HostByteVector* settings,
                const abi::CK_MECHANISM* mechanism, const abi::ObjectHandle* baseKey, const abi::CK_ATTRIBUTE* tmpl,
                uint32_t count, abi::ObjectHandle* handle, abi::ObjectSummary* summary) {
    if (mechanism == nullptr || baseKey == nullptr || handle == nullptr || (tmpl == nullptr && count != 0)) {
        return abi::CKR_ARGUMENTS_BAD;
    }
    objects::TemplateRecord list;
    {
        CardContext context(host);
        if (const CK_RV rv = checkMechanism(context, mechanism->mechanism); rv != abi::CKR_OK) return rv;
        DeriveInputs inputs;
        if (const CK_RV rv = parseDeriveParameter(*mechanism, inputs); rv != abi::CKR_OK) return rv;
        objects::KeyRecord record;
        if (const CK_RV rv = selectAndLoadDemandedKey(context, *baseKey, kBaseKey, record); rv != abi::CKR_OK) {
            return rv;
        }
        std::array<uint8_t, card::kAgreedKeySize> agreed{};
        CK_RV rv = agreeOnCard(context, login, record, inputs, agreed);
        if (rv == abi::CKR_OK) rv = buildList({tmpl, count}, agreed, list);
        OPENSSL_cleanse(agreed.data(), agreed.size());
        if (rv != abi::CKR_OK) return rv;
    }
    return objects::createBuiltObject(host, login, settings, list.entries(), handle, summary);
}

}  // namespace korva::keys
