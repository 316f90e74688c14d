// Owning handles for the OpenSSL objects only the message builders use,
// on the shared deleter template, and the guard that keeps their errors
// off the host's error queue.
#pragma once

#include "common/openssl_error_mark.h"
#include "common/openssl_ptr.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace korva::messages {

using X509ReqPtr = OpenSslPtr<X509_REQ, X509_REQ_free>;
using X509NamePtr = OpenSslPtr<X509_NAME, X509_NAME_free>;
using X509ExtensionPtr = OpenSslPtr<X509_EXTENSION, X509_EXTENSION_free>;
using X509AlgorPtr = OpenSslPtr<X509_ALGOR, X509_ALGOR_free>;
using BioPtr = OpenSslPtr<BIO, BIO_free>;
using BioChainPtr = OpenSslPtr<BIO, BIO_free_all>;
using Pkcs7Ptr = OpenSslPtr<PKCS7, PKCS7_free>;

// A stack that frees its elements with it.
struct X509StackFree {
    void operator()(STACK_OF(X509) * stack) const noexcept { sk_X509_pop_free(stack, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

struct ExtensionStackFree {
    void operator()(STACK_OF(X509_EXTENSION) * stack) const noexcept {
        sk_X509_EXTENSION_pop_free(stack, X509_EXTENSION_free);
    }
};
using ExtensionStackPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), ExtensionStackFree>;

}  // namespace korva::messages
