// Slot 49: a DER PKCS#7 SignedData message over host data, signed with a
// key on the card and carrying the signer's certificate and further
// certificates read from the card.
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::messages {

// Of the caller's flags only this bit counts: the content is left out of
// the message.
inline constexpr abi::CK_ULONG kDetachedFlag = 0x40;

struct MessageArguments {
    const abi::LoginRecord* login;
    const abi::HostByteVector* settings;
    const uint8_t* data;
    abi::CK_ULONG dataLength;
    const abi::ObjectHandle* signerCertificate;
    uint8_t* output;  // null asks for the length
    abi::CK_ULONG* outputLength;
    const abi::ObjectHandle* privateKey;  // null or directory bytes zero: found by the certificate's CKA_ID
    const abi::CertificateEntry* certificates;
    abi::CK_ULONG certificateCount;
    abi::CK_ULONG flags;
};

// The DER message, or CKR_ARGUMENTS_BAD, CKR_DATA_INVALID,
// CKR_OBJECT_HANDLE_INVALID, CKR_USER_NOT_LOGGED_IN, CKR_HOST_MEMORY,
// CKR_BUFFER_TOO_SMALL or CKR_FUNCTION_FAILED. A length query signs on the
// card too.
abi::CK_RV signMessage(const HostContext& host, const MessageArguments& arguments);

}  // namespace korva::messages
