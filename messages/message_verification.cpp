#include "messages/message_verification.h"

#include "messages/openssl_handles.h"

#include <korva/pkcs11_constants.h>

#include <utility>

namespace korva::messages {

using namespace korva::abi;

CK_RV verifyMessage(const uint8_t* message, CK_ULONG messageLength, const uint8_t* content, CK_ULONG contentLength) {
    if (message == nullptr || messageLength == 0) return CKR_ARGUMENTS_BAD;
    // A length OpenSSL cannot take is no message it could decode.
    if (!std::in_range<long>(messageLength)) return CKR_DATA_INVALID;
    const OpenSslErrorMark mark;
    const unsigned char* cursor = message;
    const Pkcs7Ptr decoded(d2i_PKCS7(nullptr, &cursor, static_cast<long>(messageLength)));
    if (!decoded) return CKR_DATA_INVALID;

    BioChainPtr detached;
    if (content != nullptr && contentLength != 0) {
        // A memory buffer's length is an int.
        if (!std::in_range<int>(contentLength)) return CKR_FUNCTION_FAILED;
        // Behind a pass-through filter: given a memory BIO, PKCS7_verify
        // copies it into one of its own, which it never frees when the
        // message names a digest it cannot set up.
        BioPtr buffer(BIO_new_mem_buf(content, static_cast<int>(contentLength)));
        detached.reset(BIO_new(BIO_f_null()));
        if (!buffer || !detached) return CKR_FUNCTION_FAILED;
        BIO_push(detached.get(), buffer.release());
    }
    // No trust store and no chain: the certificates inside the message give
    // the signer's key, and only the signatures are judged.
    const int verified = PKCS7_verify(decoded.get(), nullptr, nullptr, detached.get(), nullptr, PKCS7_NOVERIFY);
    return verified == 1 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

}  // namespace korva::messages
