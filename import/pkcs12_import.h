// Slot 46: an RSA key pair and its certificate from a PKCS#12 file become
// three token objects. The key goes into a card key object (and, when it
// may decrypt, its private exponent into the file beside it), the two keys'
// records, the counters and the container map are written, and the
// certificate is created through the object creation path. The three
// objects share one label and identifier drawn from the card's randomness.
#pragma once

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>

namespace korva::import {

struct Pkcs12Outputs {
    abi::ObjectSummary* certificate = nullptr;
    abi::ObjectSummary* publicKey = nullptr;
    abi::ObjectSummary* privateKey = nullptr;
};

// A wrong password is CKR_PIN_INCORRECT; data that is no usable PKCS#12
// file CKR_DATA_INVALID; a key the card cannot hold (a GOST key, RSA above
// 1024 bits) CKR_FUNCTION_FAILED; no free record CKR_DEVICE_MEMORY. Once
// key material has been written, a later failure removes everything this
// call wrote before it returns. The result of the certificate's creation
// is the slot's result.
abi::CK_RV importPkcs12(const abi::HostContext& host, const abi::LoginRecord* login,
                        const abi::HostByteVector* settings, const uint8_t* data, uint32_t dataLength,
                        const char* password, uint32_t passwordLength, const Pkcs12Outputs& outputs);

}  // namespace korva::import
