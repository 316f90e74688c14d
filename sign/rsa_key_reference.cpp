#include "sign/rsa_key_reference.h"

#include "objects/directory_files.h"
#include "objects/layout.h"

#include <korva/pkcs11_constants.h>

namespace korva::sign {

abi::CK_RV rsaKeyReference(CardContext& context, const objects::KeyRecord& record, uint8_t recordNumber,
                           bool privateKey, uint8_t& reference) noexcept {
    uint8_t bodyRecord = recordNumber;
    if (privateKey) {
        uint8_t paired = 0;
        const CardResult found = objects::findMatchingPublicKey(context, record.view(), paired);
        if (found == result::kOk) {
            bodyRecord = paired;
        } else if (found != result::kNotFound) {
            return abi::CKR_FUNCTION_FAILED;
        }
    }
    // Reference bytes above 0xFF do not exist; such a record number cannot
    // name a key-pair body.
    if (bodyRecord > 0xFF - objects::kKeyPairReferenceBase) return abi::CKR_FUNCTION_FAILED;
    reference = uint8_t(objects::kKeyPairReferenceBase + bodyRecord);
    return abi::CKR_OK;
}

}  // namespace korva::sign
