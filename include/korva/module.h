/* The module's one entry point and its table of 73 operation slots.
 *
 * The host calls GetFunctionList once and then calls the slots of the table
 * it returns. Every slot receives the host's HostContext first, by value,
 * except slots 11, 67 and 70, which receive a pointer to it so that the
 * module can store its session-object table in the cookie word, and slots 61
 * and 63, which have no host context. Every slot returns a CK_RV except slot
 * 63. A null entry is an operation the module does not provide; the host
 * must not call it.
 *
 * Arguments that a slot does not read keep their place in the call and are
 * typed `const void*` (named unused...). Lengths, counts and numbers are
 * 32-bit. Usable from C and C++ (in C++ in namespace korva::abi). */
#ifndef KORVA_MODULE_H
#define KORVA_MODULE_H

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#if defined(__GNUC__)
#define KORVA_EXPORT __attribute__((visibility("default")))
#else
#define KORVA_EXPORT
#endif

#ifdef __cplusplus
namespace korva::abi {
extern "C" {
#endif

/* Slot shapes shared by several entries. */

/* An entry the module leaves null, and the constant answers whose arguments
 * the module never reads: the host may pass its usual arguments after the
 * HostContext; the caller removes them. */
typedef CK_RV (*ReservedSlot)(HostContext host);
typedef CK_RV (*ConstantSlot)(HostContext host);

/* Initialisation of a sign, verify or cipher operation. */
typedef CK_RV (*KeyOperationInitSlot)(HostContext host, const void* unused1, const void* unused2,
                                      const CK_MECHANISM* mechanism, const ObjectHandle* key, OperationRecord* state);
/* Single-part encryption or decryption, and the update steps. */
typedef CK_RV (*CipherDataSlot)(HostContext host, const LoginRecord* login, const void* unused, const uint8_t* input,
                                CK_ULONG inputLength, uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                                OperationRecord* state, CK_MECHANISM_TYPE mechanism);
/* Encryption or decryption final. */
typedef CK_RV (*CipherFinalSlot)(HostContext host, const LoginRecord* login, const void* unused, uint8_t* output,
                                 CK_ULONG* outputLength, const ObjectHandle* key, OperationRecord* state,
                                 CK_MECHANISM_TYPE mechanism);
/* Single-part signing. */
typedef CK_RV (*SignSlot)(HostContext host, const LoginRecord* login, const void* unused, const uint8_t* data,
                          CK_ULONG dataLength, uint8_t* signature, CK_ULONG* signatureLength, const ObjectHandle* key,
                          const OperationRecord* state, CK_MECHANISM_TYPE mechanism);
/* Token initialisation, short form. */
typedef CK_RV (*InitTokenSlot)(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength, const uint8_t* label);

typedef struct ModuleFunctionTable {
    /* 0: the 17 bytes of the token settings record (a null buffer asks for the length) */
    CK_RV (*readTokenSettings)(HostContext host, uint8_t* buffer, CK_ULONG* length);
    /* 1: reset the card's security state */
    CK_RV (*resetSecurityState)(HostContext host);
    /* 2: answers CKR_OK */
    ConstantSlot noOperation;
    /* 3: initialise the token with the default settings */
    InitTokenSlot initToken;
    /* 4: set and unblock the user PIN, as the security officer */
    CK_RV(*initUserPin)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const uint8_t* pin,
     CK_ULONG pinLength);
    /* 5: change the PIN of the given user type */
    CK_RV(*setPin)
    (HostContext host, const HostByteVector* settings, const uint8_t* oldPin, CK_ULONG oldPinLength,
     const uint8_t* newPin, CK_ULONG newPinLength, CK_USER_TYPE userType);
    /* 6: token information */
    CK_RV (*getTokenInfo)(HostContext host, const HostByteVector* settings, CK_TOKEN_INFO* info);
    /* 7: log in */
    CK_RV(*login)
    (HostContext host, const HostByteVector* settings, const uint8_t* pin, CK_ULONG pinLength, CK_USER_TYPE userType);
    /* 8: null */
    ReservedSlot reserved8;
    /* 9: mechanism list (a null list asks for the count) */
    CK_RV (*getMechanismList)(HostContext host, const void* unused, CK_MECHANISM_TYPE* list, CK_ULONG* count);
    /* 10: information on one mechanism */
    CK_RV (*getMechanismInfo)(HostContext host, const void* unused, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info);
    /* 11: create an object from a template (may set host->cookie) */
    CK_RV(*createObject)
    (HostContext* host, const LoginRecord* login, const HostByteVector* settings, const CK_ATTRIBUTE* attributes,
     CK_ULONG count, ObjectHandle* handle, ObjectSummary* summary);
    /* 12: answers CKR_FUNCTION_NOT_SUPPORTED (shared with 25 and 26) */
    ConstantSlot unsupportedOperation;
    /* 13: attribute values of one object */
    CK_RV(*getAttributeValue)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const ObjectHandle* handle,
     CK_ATTRIBUTE* attributes, CK_ULONG count);
    /* 14: start an object search */
    CK_RV(*findObjectsInit)
    (HostContext host, const void* unused, const CK_ATTRIBUTE* attributes, CK_ULONG count, FindCursor* cursor);
    /* 15: next object of a search, filling the caller's template */
    CK_RV(*findNextObject)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, CK_ATTRIBUTE* attributes,
     CK_ULONG count, FindCursor* cursor, ObjectHandle* handle, CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate);
    /* 16: destroy an object */
    CK_RV(*destroyObject)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const ObjectHandle* handle);
    /* 17: object size */
    CK_RV(*getObjectSize)
    (HostContext host, const void* unused1, const void* unused2, const ObjectHandle* handle, CK_ULONG* size);
    /* 18: change attributes of an object */
    CK_RV(*setAttributes)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const ObjectHandle* handle,
     const CK_ATTRIBUTE* attributes, CK_ULONG count);
    /* 19: generate a secret key */
    CK_RV(*generateKey)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const CK_ATTRIBUTE* attributes,
     CK_ULONG count, const CK_MECHANISM* mechanism, ObjectHandle* handle, ObjectSummary* summary);
    /* 20: generate a key pair */
    CK_RV(*generateKeyPair)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const CK_ATTRIBUTE* publicAttributes,
     CK_ULONG publicCount, const CK_ATTRIBUTE* privateAttributes, CK_ULONG privateCount, const CK_MECHANISM* mechanism,
     ObjectHandle* publicHandle, ObjectHandle* privateHandle, ObjectSummary* publicSummary,
     ObjectSummary* privateSummary);
    /* 21: digest initialisation */
    CK_RV(*digestInit)
    (HostContext host, const void* unused1, const void* unused2, const CK_MECHANISM* mechanism, OperationRecord* state);
    /* 22: digest (a null digest buffer asks for the length) */
    CK_RV(*digest)
    (HostContext host, const void* unused1, const void* unused2, const uint8_t* data, CK_ULONG dataLength,
     uint8_t* digest, CK_ULONG* digestLength, const OperationRecord* state, CK_MECHANISM_TYPE mechanism);
    /* 23: sign initialisation */
    KeyOperationInitSlot signInit;
    /* 24: sign */
    SignSlot sign;
    /* 25: sign update, answers CKR_FUNCTION_NOT_SUPPORTED */
    ConstantSlot signUpdate;
    /* 26: sign final, answers CKR_FUNCTION_NOT_SUPPORTED */
    ConstantSlot signFinal;
    /* 27: sign-with-recovery initialisation (the operation of slot 23) */
    KeyOperationInitSlot signRecoverInit;
    /* 28: sign with recovery (the operation of slot 24) */
    SignSlot signRecover;
    /* 29: encryption initialisation */
    KeyOperationInitSlot encryptInit;
    /* 30: single-part encryption */
    CipherDataSlot encrypt;
    /* 31: encryption update */
    CipherDataSlot encryptUpdate;
    /* 32: encryption final */
    CipherFinalSlot encryptFinal;
    /* 33: decryption initialisation */
    KeyOperationInitSlot decryptInit;
    /* 34: single-part decryption */
    CipherDataSlot decrypt;
    /* 35: decryption update */
    CipherDataSlot decryptUpdate;
    /* 36: decryption final */
    CipherFinalSlot decryptFinal;
    /* 37: verify initialisation */
    KeyOperationInitSlot verifyInit;
    /* 38: verify */
    CK_RV(*verify)
    (HostContext host, const LoginRecord* login, const void* unused, const uint8_t* data, CK_ULONG dataLength,
     const uint8_t* signature, CK_ULONG signatureLength, const ObjectHandle* key, const OperationRecord* state,
     CK_MECHANISM_TYPE mechanism);
    /* 39: verify-with-recovery initialisation (the operation of slot 37) */
    KeyOperationInitSlot verifyRecoverInit;
    /* 40: verify with recovery (a null output asks for the length) */
    CK_RV(*verifyRecover)
    (HostContext host, const LoginRecord* login, const void* unused, const uint8_t* signature, CK_ULONG signatureLength,
     uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key, const OperationRecord* state,
     CK_MECHANISM_TYPE mechanism);
    /* 41: wrap a key (a null output asks for the length) */
    CK_RV(*wrapKey)
    (HostContext host, const LoginRecord* login, const void* unused, const CK_MECHANISM* mechanism,
     const ObjectHandle* wrappingKey, const ObjectHandle* key, uint8_t* output, CK_ULONG* outputLength);
    /* 42: unwrap a key into a new secret key */
    CK_RV(*unwrapKey)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const CK_MECHANISM* mechanism,
     const ObjectHandle* unwrappingKey, const uint8_t* wrappedKey, CK_ULONG wrappedKeyLength,
     const CK_ATTRIBUTE* attributes, CK_ULONG count, ObjectHandle* handle, ObjectSummary* summary);
    /* 43: derive a key */
    CK_RV(*deriveKey)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const CK_MECHANISM* mechanism,
     const ObjectHandle* baseKey, const CK_ATTRIBUTE* attributes, CK_ULONG count, ObjectHandle* handle,
     ObjectSummary* summary);
    /* 44: seed the random generator, answers CKR_RANDOM_SEED_NOT_SUPPORTED */
    CK_RV(*seedRandom)
    (HostContext host, const void* unused1, const void* unused2, const uint8_t* seed, CK_ULONG seedLength);
    /* 45: random bytes from the card */
    CK_RV(*generateRandom)
    (HostContext host, const void* unused1, const void* unused2, uint8_t* buffer, CK_ULONG length);
    /* 46: import a key pair and certificate from PKCS#12 */
    CK_RV(*importPkcs12)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const uint8_t* data,
     CK_ULONG dataLength, const char* password, CK_ULONG passwordLength, ObjectSummary* certificate,
     ObjectSummary* publicKey, ObjectSummary* privateKey);
    /* 47: import a DER certificate */
    CK_RV(*importCertificate)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const char* label, const uint8_t* id,
     CK_ULONG idLength, const uint8_t* der, CK_ULONG derLength);
    /* 48: build a certificate request (a null output asks for the length) */
    CK_RV(*createCertificateRequest)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const ObjectHandle* publicKey,
     const ObjectHandle* privateKey, const char* subject, CK_ULONG subjectCount, uint8_t* output,
     CK_ULONG* outputLength, const char* attributes, CK_ULONG attributeCount, const char* extensions,
     CK_ULONG extensionCount, CK_ULONG extensionFormat);
    /* 49: build a signed message (a null output asks for the length) */
    CK_RV(*signMessage)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, const uint8_t* data,
     CK_ULONG dataLength, const ObjectHandle* signerCertificate, uint8_t* output, CK_ULONG* outputLength,
     const ObjectHandle* privateKey, const CertificateEntry* certificates, CK_ULONG certificateCount, CK_ULONG flags);
    /* 50: verify a signed message */
    CK_RV(*verifyMessage)
    (HostContext host, const void* unused1, const void* unused2, const uint8_t* message, CK_ULONG messageLength,
     const uint8_t* content, CK_ULONG contentLength);
    /* 51: initialise the token with two settings values of the caller */
    CK_RV(*initTokenWithSettings)
    (HostContext host, const uint8_t* soPin, CK_ULONG soPinLength, const uint8_t* label, CK_ULONG s1, CK_ULONG s2);
    /* 52: initialise the token with all fifteen settings values */
    CK_RV(*initTokenFull)
    (HostContext host, const uint8_t* soPin, CK_ULONG soPinLength, const uint8_t* label, CK_ULONG s0, CK_ULONG s1,
     CK_ULONG s2, CK_ULONG s3, CK_ULONG s4, CK_ULONG s5, CK_ULONG s6, CK_ULONG s7, CK_ULONG s8, CK_ULONG s9,
     CK_ULONG s10, CK_ULONG s11, CK_ULONG s12, CK_ULONG s13, CK_ULONG s14);
    /* 53: stores 0 in *value (the sixth 32-bit argument) and answers CKR_OK */
    CK_RV (*queryReservedCount)(HostContext host, const void* unused, CK_ULONG* value);
    /* 54: null */
    ReservedSlot reserved54;
    /* 55: the settings record as 17 separate bytes (null pointers are skipped) */
    CK_RV(*getTokenSettings)
    (HostContext host, uint8_t* byte0, uint8_t* byte1, uint8_t* byte2, uint8_t* byte3, uint8_t* byte4, uint8_t* byte5,
     uint8_t* byte6, uint8_t* byte7, uint8_t* byte8, uint8_t* byte9, uint8_t* byte10, uint8_t* byte11, uint8_t* byte12,
     uint8_t* byte13, uint8_t* byte14, uint8_t* byte15, uint8_t* byte16);
    /* 56: answers CKR_OK without touching the card */
    ConstantSlot noOperationQuiet;
    /* 57: stores 0 in *flag (the fifth 32-bit argument) and answers CKR_OK */
    CK_RV (*queryReservedFlag)(HostContext host, uint8_t* flag);
    /* 58: null */
    ReservedSlot reserved58;
    /* 59: write (data non-null) or delete (data null) a numbered data file */
    CK_RV(*writeDataFile)
    (HostContext host, const LoginRecord* login, CK_ULONG number, const uint8_t* data, CK_ULONG length);
    /* 60: read a numbered data file (a null buffer asks for the length) */
    CK_RV (*readDataFile)(HostContext host, CK_ULONG number, uint8_t* buffer, CK_ULONG* length);
    /* 61: release a buffer the module handed to the host */
    CK_RV (*releaseBuffer)(void* buffer);
    /* 62: next object of a search with all its attributes */
    CK_RV(*findNextObjectAttributes)
    (HostContext host, const LoginRecord* login, const HostByteVector* settings, FindCursor* cursor,
     CK_ATTRIBUTE** attributes, CK_ULONG* count, ObjectHandle* handle, CK_OBJECT_CLASS* objectClass,
     uint8_t* isPrivate);
    /* 63: release an attribute array the module handed to the host */
    void (*releaseAttributes)(CK_ATTRIBUTE* attributes, CK_ULONG count);
    /* 64: all attributes of one object */
    CK_RV(*getAllAttributes)
    (HostContext host, const void* unused, const HostByteVector* settings, const ObjectHandle* handle,
     CK_ATTRIBUTE** attributes, CK_ULONG* count, CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate);
    /* 65: default attribute list of an object class */
    CK_RV(*getDefaultAttributes)
    (HostContext host, const void* unused1, const void* unused2, CK_ATTRIBUTE** attributes, CK_ULONG* count,
     CK_OBJECT_CLASS objectClass);
    /* 66: object-set change counter */
    CK_RV (*getChangeCounter)(HostContext host, const void* unused1, const void* unused2, CK_ULONG* counter);
    /* 67: user session set-up after login */
    CK_RV (*openUserSession)(HostContext* host, const LoginRecord* login);
    /* 68: null */
    ReservedSlot reserved68;
    /* 69: null */
    ReservedSlot reserved69;
    /* 70: release session objects named in a handle list */
    CK_RV (*releaseSessionObjects)(HostContext* host, const void* unused, const HostHandleList* handles);
    /* 71: null */
    ReservedSlot reserved71;
    /* 72: mechanism list with information (a null array asks for the count) */
    CK_RV (*getMechanismsWithInfo)(HostContext host, const void* unused, MechanismInfoEntry* entries, CK_ULONG* count);
} ModuleFunctionTable;

#define KORVA_SLOT_COUNT 73

/* The module's only export: the address of its read-only slot table. Never
 * fails; every call returns the same address. */
KORVA_EXPORT const ModuleFunctionTable* GetFunctionList(void);

/* The type to give the address that dlsym() returns for GetFunctionList. */
typedef const ModuleFunctionTable* (*GetFunctionListFunction)(void);

#ifdef __cplusplus
} /* extern "C" */
} /* namespace korva::abi */
#endif

KORVA_ASSERT_SIZE(ModuleFunctionTable, KORVA_SLOT_COUNT * sizeof(void (*)(void)));
#if defined(__i386__)
KORVA_ASSERT_SIZE(ModuleFunctionTable, 73 * 4);
#endif

#endif
