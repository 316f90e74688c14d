// A standard pkcs11.h as a host library includes it: the system's copy when
// there is one, otherwise the few declarations of one that matter here,
// written the way such a header writes them (unsigned long types, constants
// as macros).
#pragma once

#if __has_include(<p11-kit-1/p11-kit/pkcs11.h>)
#include <p11-kit-1/p11-kit/pkcs11.h>
#else
typedef unsigned long CK_ULONG;
typedef CK_ULONG CK_RV;
typedef CK_ULONG CK_ATTRIBUTE_TYPE;
typedef struct CK_ATTRIBUTE {
    CK_ATTRIBUTE_TYPE type;
    void* pValue;
    CK_ULONG ulValueLen;
} CK_ATTRIBUTE;
#define CKR_OK (0UL)
#define CKR_FUNCTION_NOT_SUPPORTED (0x54UL)
#define CKA_CLASS (0UL)
#define CKM_GOSTR3410 (0x1201UL)
#define CK_TRUE 1
#endif
