// Slots of certificate requests and signed messages: trampolines into
// messages/.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "messages/certificate_request.h"
#include "messages/message_verification.h"
#include "messages/signed_message.h"

namespace korva::slots {

extern "C" {

CK_RV korva_slot48_createCertificateRequest(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                            const ObjectHandle* publicKey, const ObjectHandle* privateKey,
                                            const char* subject, CK_ULONG subjectCount, uint8_t* output,
                                            CK_ULONG* outputLength, const char* attributes, CK_ULONG attributeCount,
                                            const char* extensions, CK_ULONG extensionCount, CK_ULONG extensionFormat) {
    return guardSlot([&] {
        const messages::RequestArguments arguments{
            login,        settings,   publicKey,      privateKey, subject,        subjectCount,   output,
            outputLength, attributes, attributeCount, extensions, extensionCount, extensionFormat};
        return messages::createCertificateRequest(host, arguments);
    });
}

CK_RV korva_slot49_signMessage(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                               const uint8_t* data, CK_ULONG dataLength, const ObjectHandle* signerCertificate,
                               uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* privateKey,
                               const CertificateEntry* certificates, CK_ULONG certificateCount, CK_ULONG flags) {
    return guardSlot([&] {
        const messages::MessageArguments arguments{login,  settings,     data,       dataLength,   signerCertificate,
                                                   output, outputLength, privateKey, certificates, certificateCount,
                                                   flags};
        return messages::signMessage(host, arguments);
    });
}

CK_RV korva_slot50_verifyMessage(HostContext, const void*, const void*, const uint8_t* message, CK_ULONG messageLength,
                                 const uint8_t* content, CK_ULONG contentLength) {
    return guardSlot([&] { return messages::verifyMessage(message, messageLength, content, contentLength); });
}

}  // extern "C"

}  // namespace korva::slots
