// The standard PKCS#11 header as applications include it, then the token's
// public additions: vendor values and the vendor function table.
#pragma once

#include <p11-kit/pkcs11.h>

#include <korva/pkcs11_vendor.h>
#include <korva/pkcs11_vendor_functions.h>
