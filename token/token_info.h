// Token information (slot 6): who made the token, its serial number, whether
// it is initialised, its label and the state of both PINs.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

namespace korva::token {

abi::CK_RV getTokenInfo(const HostContext& host, const abi::HostByteVector* settings, abi::CK_TOKEN_INFO* info);

}  // namespace korva::token
