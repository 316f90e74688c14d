// Slots of software hashing and card random numbers: trampolines into
// sign/digest and sign/random.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "sign/digest.h"
#include "sign/random.h"

namespace korva::slots {

extern "C" {

CK_RV korva_slot21_digestInit(HostContext host, const void*, const void*, const CK_MECHANISM* mechanism,
                              OperationRecord* state) {
    return guardSlot([&] { return sign::digestInit(host, mechanism, state); });
}

CK_RV korva_slot22_digest(HostContext, const void*, const void*, const uint8_t* data, CK_ULONG dataLength,
                          uint8_t* digest, CK_ULONG* digestLength, const OperationRecord* state,
                          CK_MECHANISM_TYPE mechanism) {
    return guardSlot([&] { return sign::digest(data, dataLength, digest, digestLength, state, mechanism); });
}

CK_RV korva_slot45_generateRandom(HostContext host, const void*, const void*, uint8_t* buffer, CK_ULONG length) {
    return guardSlot([&] { return sign::generateRandom(host, buffer, length); });
}

}  // extern "C"

}  // namespace korva::slots
