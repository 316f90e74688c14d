// Slots whose implementation has not landed yet: each answers
// CKR_FUNCTION_NOT_SUPPORTED without touching its arguments or the card.
//
// To implement a slot, move its definition out of this file into the file of
// its group, module/slots_<group>.cpp (for example module/slots_token.cpp),
// keeping the signature declared in slots.h. The table in function_table.cpp
// refers only to those declarations, so groups land without editing each
// other's files.
#include "module/slots.h"

namespace korva::slots {

using abi::CKR_FUNCTION_NOT_SUPPORTED;

extern "C" {

CK_RV korva_slot48_createCertificateRequest(HostContext, const LoginRecord*, const HostByteVector*,
                                            const ObjectHandle*, const ObjectHandle*, const char*,
                                            CK_ULONG, uint8_t*, CK_ULONG*, const char*, CK_ULONG,
                                            const char*, CK_ULONG, CK_ULONG) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV korva_slot49_signMessage(HostContext, const LoginRecord*, const HostByteVector*,
                               const uint8_t*, CK_ULONG, const ObjectHandle*, uint8_t*, CK_ULONG*,
                               const ObjectHandle*, const CertificateEntry*, CK_ULONG, CK_ULONG) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV korva_slot50_verifyMessage(HostContext, const void*, const void*, const uint8_t*, CK_ULONG,
                                 const uint8_t*, CK_ULONG) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

}  // extern "C"

}  // namespace korva::slots
