// The two faces of the library in one place: the standard PKCS#11 ABI its
// applications call (unsigned long everywhere, the lower-case names of the
// standard header's GNU style, which define no macros over common words such
// as `value` or `count`) and the module's 32-bit ABI (korva::abi).
//
// The standard header comes first so that its constant macros, with their
// unsigned long values, are the names the library's code uses; the module
// headers then skip their own copies of those names. Library code therefore
// writes bare CKR_/CKA_/CKM_ names and korva::abi only for the module's types.
#pragma once

#ifndef CRYPTOKI_GNU
#define CRYPTOKI_GNU 1
#endif
#include <p11-kit/pkcs11.h>

#include <korva/pkcs11_vendor.h>

#include <korva/module.h>

namespace korva::host {

namespace abi = korva::abi;

// The standard record of the GOST key-agreement mechanisms as applications
// lay it out (unsigned long fields); the module takes the 32-bit form.
struct GostDeriveParameters {
    unsigned long kdf;
    unsigned char* publicData;
    unsigned long publicDataLength;
    unsigned char* ukm;
    unsigned long ukmLength;
};

}  // namespace korva::host
