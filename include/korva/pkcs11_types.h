/* The PKCS#11 structures and types as the module and its host exchange them:
 * every CK_ULONG-like value (return values, lengths, counts, flags, classes,
 * key, attribute and mechanism types) is 32 bits wide, on every architecture,
 * and pointers are native.
 *
 * A host library also speaks standard PKCS#11 to its applications, with
 * `unsigned long` fields, so this header is built to live next to a standard
 * pkcs11.h:
 *  - C++: every type and constant lives in namespace korva::abi under its
 *    published name (korva::abi::CK_ATTRIBUTE, korva::abi::CKR_OK); the
 *    global names stay free for pkcs11.h. The constants are `inline constexpr`
 *    values, never macros, and each is skipped when a macro of the same name
 *    already exists (pkcs11.h defines its constants as macros). Both headers
 *    can therefore be included in one translation unit, in either order; in
 *    such a unit the bare constant names are pkcs11.h's macros, whose values
 *    are the same numbers (as unsigned long). Do not bring korva::abi into the
 *    global namespace with a using-directive in such a unit: the type names
 *    would become ambiguous.
 *  - C: the types are global typedefs and the constants are #defines, so a C
 *    translation unit must not include this header and a standard pkcs11.h
 *    together (checked below where it can be).
 *
 * The numeric constants are in korva/pkcs11_constants.h, included here. */
#ifndef KORVA_PKCS11_TYPES_H
#define KORVA_PKCS11_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if !defined(__cplusplus) && defined(CKR_OK) && !defined(KORVA_PKCS11_CONSTANTS_H)
#error "korva/pkcs11_types.h and a standard pkcs11.h cannot share a C translation unit"
#endif

#ifdef __cplusplus
namespace korva::abi {
extern "C" {
#endif

typedef uint8_t CK_BYTE;
typedef uint8_t CK_CHAR;
typedef uint8_t CK_UTF8CHAR;
typedef uint8_t CK_BBOOL;
typedef uint32_t CK_ULONG;
typedef int32_t CK_LONG;
typedef CK_ULONG CK_FLAGS;
typedef CK_ULONG CK_RV;
typedef CK_ULONG CK_ATTRIBUTE_TYPE;
typedef CK_ULONG CK_OBJECT_CLASS;
typedef CK_ULONG CK_KEY_TYPE;
typedef CK_ULONG CK_CERTIFICATE_TYPE;
typedef CK_ULONG CK_MECHANISM_TYPE;
typedef CK_ULONG CK_USER_TYPE;
typedef void* CK_VOID_PTR;

typedef struct CK_VERSION {
    CK_BYTE major;
    CK_BYTE minor;
} CK_VERSION;

typedef struct CK_DATE {
    CK_CHAR year[4];  /* "1900" to "9999" */
    CK_CHAR month[2]; /* "01" to "12" */
    CK_CHAR day[2];   /* "01" to "31" */
} CK_DATE;

/* One attribute of a template. A value length of KORVA_UNAVAILABLE_LENGTH
 * (0xFFFFFFFF) marks an attribute that is absent or could not be read. */
typedef struct CK_ATTRIBUTE {
    CK_ATTRIBUTE_TYPE type;
    CK_VOID_PTR pValue;
    CK_ULONG ulValueLen;
} CK_ATTRIBUTE;

typedef struct CK_MECHANISM {
    CK_MECHANISM_TYPE mechanism;
    CK_VOID_PTR pParameter;
    CK_ULONG ulParameterLen;
} CK_MECHANISM;

typedef struct CK_MECHANISM_INFO {
    CK_ULONG ulMinKeySize;
    CK_ULONG ulMaxKeySize;
    CK_FLAGS flags;
} CK_MECHANISM_INFO;

typedef struct CK_TOKEN_INFO {
    CK_UTF8CHAR label[32];          /* blank padded */
    CK_UTF8CHAR manufacturerID[32]; /* blank padded */
    CK_UTF8CHAR model[16];          /* blank padded */
    CK_CHAR serialNumber[16];       /* blank padded */
    CK_FLAGS flags;
    CK_ULONG ulMaxSessionCount;
    CK_ULONG ulSessionCount;
    CK_ULONG ulMaxRwSessionCount;
    CK_ULONG ulRwSessionCount;
    CK_ULONG ulMaxPinLen;
    CK_ULONG ulMinPinLen;
    CK_ULONG ulTotalPublicMemory;
    CK_ULONG ulFreePublicMemory;
    CK_ULONG ulTotalPrivateMemory;
    CK_ULONG ulFreePrivateMemory;
    CK_VERSION hardwareVersion;
    CK_VERSION firmwareVersion;
    CK_CHAR utcTime[16];
} CK_TOKEN_INFO;

/* Parameter of the GOST key-agreement mechanisms in its pointer layout. The
 * module takes a parameter as this record when its length is exactly
 * sizeof(CK_GOSTR3410_DERIVE_PARAMS): 20 bytes on a 32-bit host, 40 on a
 * 64-bit one (two 8-byte pointers, each 32-bit field padded to 8). The
 * inline layout, at least 84 bytes (kdf, public-key length L, L bytes, UKM
 * length U, U bytes; 32-bit numbers in the host's byte order), has no fixed
 * structure and is read byte by byte. */
typedef struct CK_GOSTR3410_DERIVE_PARAMS {
    CK_ULONG kdf;
    CK_BYTE* pPublicData;
    CK_ULONG ulPublicDataLen;
    CK_BYTE* pUKM;
    CK_ULONG ulUKMLen;
} CK_GOSTR3410_DERIVE_PARAMS;

/* One entry of the combined mechanism list: the mechanism and its
 * CK_MECHANISM_INFO, four 32-bit words. */
typedef struct MechanismInfoEntry {
    CK_MECHANISM_TYPE type;
    CK_ULONG ulMinKeySize;
    CK_ULONG ulMaxKeySize;
    CK_FLAGS flags;
} MechanismInfoEntry;

#ifdef __cplusplus
} /* extern "C" */
} /* namespace korva::abi */
#endif

#include <korva/pkcs11_constants.h>
#include <korva/layout_assert.h>

/* Layouts that hold on every architecture. */
KORVA_ASSERT_SIZE(CK_DATE, 8);
KORVA_ASSERT_SIZE(CK_MECHANISM_INFO, 12);
KORVA_ASSERT_SIZE(MechanismInfoEntry, 16);
KORVA_ASSERT_SIZE(CK_TOKEN_INFO, 160);
KORVA_ASSERT_OFFSET(CK_TOKEN_INFO, flags, 96);
KORVA_ASSERT_OFFSET(CK_TOKEN_INFO, hardwareVersion, 140);
KORVA_ASSERT_OFFSET(CK_TOKEN_INFO, utcTime, 144);

/* The 32-bit layouts the host was built against. */
#if defined(__i386__)
KORVA_ASSERT_SIZE(CK_ATTRIBUTE, 12);
KORVA_ASSERT_OFFSET(CK_ATTRIBUTE, pValue, 4);
KORVA_ASSERT_OFFSET(CK_ATTRIBUTE, ulValueLen, 8);
KORVA_ASSERT_SIZE(CK_MECHANISM, 12);
KORVA_ASSERT_SIZE(CK_GOSTR3410_DERIVE_PARAMS, 20);
#elif defined(__x86_64__) || defined(__aarch64__)
KORVA_ASSERT_SIZE(CK_GOSTR3410_DERIVE_PARAMS, 40);
#endif

#endif
