// The body of a certificate request, built from the host's text lists: the
// public key, the subject, the request attributes and the extension
// request. Nothing here talks to the card; the signature is added by the
// caller.
#pragma once

#include "messages/text_lists.h"

#include <korva/pkcs11_types.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <optional>
#include <string_view>

namespace korva::messages {

struct RequestLists {
    TextList subject;
    TextList attributes;
    // None: the request carries no extension request at all. An empty list
    // still adds an (empty) extension request.
    std::optional<TextList> extensions;
};

// An attribute entry of this name adds no attribute: it asks for the GOST
// R 34.11-2012 (256-bit) signature profile of a 256-bit GOST key.
inline constexpr std::string_view kGost2012ProfileMarker = "1.2.643.7.1.1.2.2";
bool asksForGost2012Profile(TextList attributes) noexcept;

// Subject fields whose values are decimal numbers (state registration
// number, insurance account number, taxpayer number): NumericString,
// everything else UTF-8 text.
bool isNumericField(std::string_view name) noexcept;

// Version 0, `key`, then the lists in order. CKR_OK, or
// CKR_VENDOR_SUBJECT_ENTRY_REJECTED, CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED,
// CKR_VENDOR_EXTENSION_REJECTED for the first entry OpenSSL refuses or that
// ends its list early, or CKR_FUNCTION_FAILED.
abi::CK_RV buildRequestBody(X509_REQ* request, EVP_PKEY* key, const RequestLists& lists);

}  // namespace korva::messages
