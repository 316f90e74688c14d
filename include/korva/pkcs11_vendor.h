/* Values for applications of the token's PKCS#11 library beyond the base
 * standard: the TC26 extension values (0xD4321xxx) for GOST R 34.10-2012 and
 * GOST R 34.11-2012, and the values the token defines itself (0x80000xxx).
 *
 * Plain C macros with the `UL` suffix, each defined only when the
 * application's pkcs11.h has not already defined it, so that this header can
 * follow any standard pkcs11.h in C or C++. */
#ifndef KORVA_PKCS11_VENDOR_H
#define KORVA_PKCS11_VENDOR_H

/* Key types */
#ifndef CKK_GOSTR3410_512
#define CKK_GOSTR3410_512 0xD4321003UL /* GOST R 34.10-2012, 512-bit key */
#endif

/* Mechanisms */
#ifndef CKM_GOSTR3410_512_KEY_PAIR_GEN
#define CKM_GOSTR3410_512_KEY_PAIR_GEN 0xD4321005UL
#endif
#ifndef CKM_GOSTR3410_512
#define CKM_GOSTR3410_512 0xD4321006UL /* signs a 64-byte hash */
#endif
#ifndef CKM_GOSTR3410_12_DERIVE
#define CKM_GOSTR3410_12_DERIVE 0xD4321007UL
#endif
#ifndef CKM_GOSTR3410_WITH_GOSTR3411_12_256
#define CKM_GOSTR3410_WITH_GOSTR3411_12_256 0xD4321008UL
#endif
#ifndef CKM_GOSTR3410_WITH_GOSTR3411_12_512
#define CKM_GOSTR3410_WITH_GOSTR3411_12_512 0xD4321009UL
#endif
#ifndef CKM_GOSTR3411_12_256
#define CKM_GOSTR3411_12_256 0xD4321012UL
#endif
#ifndef CKM_GOSTR3411_12_512
#define CKM_GOSTR3411_12_512 0xD4321013UL
#endif

/* Attributes */
#ifndef CKA_VENDOR_KEY_REFERENCE
#define CKA_VENDOR_KEY_REFERENCE 0x80000001UL /* one byte: the card's key reference */
#endif

/* Return values */
#ifndef CKR_VENDOR_ATTRIBUTE_LIST_FULL
#define CKR_VENDOR_ATTRIBUTE_LIST_FULL 0x80000001UL /* a template holds more than 30 attributes */
#endif
#ifndef CKR_VENDOR_SUBJECT_ENTRY_REJECTED
#define CKR_VENDOR_SUBJECT_ENTRY_REJECTED 0x80000301UL
#endif
#ifndef CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED
#define CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED 0x80000302UL
#endif
#ifndef CKR_VENDOR_EXTENSION_REJECTED
#define CKR_VENDOR_EXTENSION_REJECTED 0x80000303UL
#endif

#endif
