// OpenSSL's GOST engine, used for this code's own operations only.
//
// The engine is a dynamic OpenSSL engine found by id in OpenSSL's engines
// folder. Every user here asks for its algorithms explicitly (a digest or a
// cipher by NID from the engine, key contexts with the engine passed in) and
// never through OpenSSL's process-wide defaults: the process that loads us
// may use OpenSSL itself, and its own lookups must give the same answers
// before, while and after we are loaded.
//
// The engine is loaded on first use (the module does it when it is loaded)
// and released when the program or the shared library that holds this code
// ends. Its GOST key encodings are registered with OpenSSL's tables (not as
// defaults): certificates, requests and signed messages with GOST keys are
// decoded through them. If this process had no GOST engine before, the release also takes
// back everything its loading registered with OpenSSL (names, method
// tables, its place in the engine list), so that OpenSSL looks as it did.
// A machine without the engine is no error: the functions return null and
// the operations that need GOST software algorithms fail on their own.
#pragma once

#include <openssl/types.h>

namespace korva::gost {

// The initialised engine, or null when it cannot be loaded.
ENGINE* engine() noexcept;

// The engine's digest or cipher with OpenSSL's `nid`
// (NID_id_GostR3411_2012_256, NID_id_Gost28147_89, ...), or null. Pass
// engine() with it wherever OpenSSL takes an engine (EVP_DigestInit_ex,
// EVP_CipherInit_ex, EVP_PKEY_CTX_new_id).
const EVP_MD* digest(int nid) noexcept;
const EVP_CIPHER* cipher(int nid) noexcept;

}  // namespace korva::gost
