// The numbered data files 0100-01FF under 05 1E (slots 59 and 60): small
// transparent files the host keeps on the token for its own use.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::token {

// Slot 59: with `data`, writes `length` bytes (creating the file when it is
// absent); without, deletes the file.
abi::CK_RV writeDataFile(const HostContext& host, const abi::LoginRecord* record, uint32_t number, const uint8_t* data,
                         uint32_t length);

// Slot 60: length query or whole-file read; an absent file has length 0.
abi::CK_RV readDataFile(const HostContext& host, uint32_t number, uint8_t* buffer, uint32_t* length);

}  // namespace korva::token
