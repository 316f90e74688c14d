// Verification of arbitrary bytes as a DER PKCS#7 message, with the GOST
// engine loaded as in the module. The first byte, when not zero, is the
// length of detached content taken from the end of the input.
#include "messages/message_verification.h"

#include <korva/pkcs11_constants.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::size_t contentLength = data[0] < size - 1 ? data[0] : 0;
    const uint8_t* message = data + 1;
    const std::size_t messageLength = size - 1 - contentLength;
    const uint8_t* content = contentLength != 0 ? message + messageLength : nullptr;
    const korva::abi::CK_RV rv = korva::messages::verifyMessage(message, korva::abi::CK_ULONG(messageLength), content,
                                                                korva::abi::CK_ULONG(contentLength));
    // Only the four answers of verification exist.
    if (rv != korva::abi::CKR_OK && rv != korva::abi::CKR_SIGNATURE_INVALID && rv != korva::abi::CKR_DATA_INVALID &&
        rv != korva::abi::CKR_ARGUMENTS_BAD) {
        std::abort();
    }
    return 0;
}
