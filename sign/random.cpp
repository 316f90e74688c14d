#include "sign/random.h"

#include "card/security_ops.h"

#include <span>

namespace korva::sign {

abi::CK_RV generateRandom(const HostContext& host, uint8_t* buffer, abi::CK_ULONG length) {
    if (buffer == nullptr || length == 0) return abi::CKR_ARGUMENTS_BAD;
    CardContext context(host);
    return card::getChallenge(context, std::span(buffer, length)) == result::kOk ? abi::CKR_OK
                                                                                 : abi::CKR_FUNCTION_FAILED;
}

}  // namespace korva::sign
