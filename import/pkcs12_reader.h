// What a PKCS#12 file brings to the token: an RSA key pair's numbers and the
// certificate that goes with it. Decoding, decryption and the integrity
// check are OpenSSL's; the sizes the token can hold are checked here.
#pragma once

#include "common/wiped_bytes.h"
#include "objects/key_record.h"

#include <korva/pkcs11_types.h>

#include <cstdint>
#include <span>
#include <vector>

namespace korva::import {

struct Pkcs12Contents {
    // Gost: an EC or GOST R 34.10 key on a GOST R 34.10-2001 curve, which
    // the card cannot take in.
    objects::KeyFamily keyFamily = objects::KeyFamily::Rsa;
    // RSA only, big-endian. The modulus and the private exponent are as
    // long as the modulus counted in whole 32-bit words (128 or 256 bytes),
    // zero-extended; the public exponent is at most 8 bytes.
    WipedBytes modulus;
    WipedBytes publicExponent;
    WipedBytes privateExponent;
    std::vector<uint8_t> certificate;  // DER
    uint8_t keyUsage = 0;              // first byte of the keyUsage bits; 0 without the extension
};

// `password` is zero-terminated, or null for a file without one. Returns
// CKR_OK; CKR_PIN_INCORRECT when the file's integrity check fails (a wrong
// password); CKR_DATA_INVALID when the data is no PKCS#12 file, holds no
// key or no certificate, holds a key that is neither RSA nor an EC or GOST
// R 34.10 key on one of the six GOST R 34.10-2001 curves with 15- to
// 32-byte private value and public x, or an RSA key whose numbers are not
// the sizes of a 1024- or 2048-bit key; CKR_HOST_MEMORY. OpenSSL's error queue is left as it was
// found.
abi::CK_RV readPkcs12(std::span<const uint8_t> data, const char* password, Pkcs12Contents& contents);

}  // namespace korva::import
