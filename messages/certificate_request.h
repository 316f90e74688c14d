// Slot 48: a PKCS#10 certification request for a key pair on the card.
// The body is built in software from the host's text lists and the public
// key the card reads out; the card signs it (GOST R 34.10 over the
// profile's hash, or RSA over a SHA-1 DigestInfo).
#pragma once

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>

#include <cstdint>

namespace korva::messages {

struct RequestArguments {
    const abi::LoginRecord* login;
    const abi::HostByteVector* settings;
    const abi::ObjectHandle* publicKey;
    const abi::ObjectHandle* privateKey;  // null or directory bytes zero: found by CKA_ID
    const char* subject;
    abi::CK_ULONG subjectCount;
    uint8_t* output;  // null asks for the length
    abi::CK_ULONG* outputLength;
    const char* attributes;
    abi::CK_ULONG attributeCount;
    const char* extensions;  // null: no extension request
    abi::CK_ULONG extensionCount;
    abi::CK_ULONG extensionFormat;  // 0: triples, else pairs
};

// The DER request, or CKR_FUNCTION_FAILED, CKR_OBJECT_HANDLE_INVALID,
// CKR_HOST_MEMORY, CKR_ARGUMENTS_BAD (no length pointer, no settings, a
// list without its block), the three vendor codes of refused list
// entries, or CKR_BUFFER_TOO_SMALL. A length query signs on the card too.
abi::CK_RV createCertificateRequest(const HostContext& host, const RequestArguments& arguments);

}  // namespace korva::messages
