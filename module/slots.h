// The slot functions behind the module's table, one per slot (slots 27, 28
// and 39 reuse the functions of 23, 24 and 37; the constant slots live in
// function_table.cpp). Each is an extern "C" trampoline: it converts the
// host's arguments, runs the C++ code of its layer inside guardSlot()
// (slot_guard.h) and returns a CK_RV.
//
// Where a slot is implemented: in the file of its group,
// module/slots_<group>.cpp (picked up by module/CMakeLists.txt); the
// declarations below are the contract between those files and the table.
#pragma once

#include <korva/host_records.h>
#include <korva/module.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>

#if defined(__GNUC__)
#define KORVA_SLOT __attribute__((visibility("hidden")))
#else
#define KORVA_SLOT
#endif

namespace korva::slots {

using abi::CertificateEntry;
using abi::CK_ATTRIBUTE;
using abi::CK_MECHANISM;
using abi::CK_MECHANISM_INFO;
using abi::CK_MECHANISM_TYPE;
using abi::CK_OBJECT_CLASS;
using abi::CK_RV;
using abi::CK_TOKEN_INFO;
using abi::CK_ULONG;
using abi::CK_USER_TYPE;
using abi::FindCursor;
using abi::HostByteVector;
using abi::HostContext;
using abi::HostHandleList;
using abi::LoginRecord;
using abi::MechanismInfoEntry;
using abi::ObjectHandle;
using abi::ObjectSummary;
using abi::OperationRecord;

extern "C" {

// 0: the 17 bytes of the token settings record (a null buffer asks for the length)
KORVA_SLOT CK_RV korva_slot00_readTokenSettings(HostContext host, uint8_t* buffer, CK_ULONG* length);

// 1: reset the card's security state
KORVA_SLOT CK_RV korva_slot01_resetSecurityState(HostContext host);

// 3: initialise the token with the default settings
KORVA_SLOT CK_RV korva_slot03_initToken(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength,
                                        const uint8_t* label);

// 4: set and unblock the user PIN, as the security officer
KORVA_SLOT CK_RV korva_slot04_initUserPin(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                          const uint8_t* pin, CK_ULONG pinLength);

// 5: change the PIN of the given user type
KORVA_SLOT CK_RV korva_slot05_setPin(HostContext host, const HostByteVector* settings, const uint8_t* oldPin,
                                     CK_ULONG oldPinLength, const uint8_t* newPin, CK_ULONG newPinLength,
                                     CK_USER_TYPE userType);

// 6: token information
KORVA_SLOT CK_RV korva_slot06_getTokenInfo(HostContext host, const HostByteVector* settings, CK_TOKEN_INFO* info);

// 7: log in
KORVA_SLOT CK_RV korva_slot07_login(HostContext host, const HostByteVector* settings, const uint8_t* pin,
                                    CK_ULONG pinLength, CK_USER_TYPE userType);

// 9: mechanism list (a null list asks for the count)
KORVA_SLOT CK_RV korva_slot09_getMechanismList(HostContext host, const void* unused, CK_MECHANISM_TYPE* list,
                                               CK_ULONG* count);

// 10: information on one mechanism
KORVA_SLOT CK_RV korva_slot10_getMechanismInfo(HostContext host, const void* unused, CK_MECHANISM_TYPE type,
                                               CK_MECHANISM_INFO* info);

// 11: create an object from a template (may set host->cookie)
KORVA_SLOT CK_RV korva_slot11_createObject(HostContext* host, const LoginRecord* login, const HostByteVector* settings,
                                           const CK_ATTRIBUTE* attributes, CK_ULONG count, ObjectHandle* handle,
                                           ObjectSummary* summary);

// 13: attribute values of one object
KORVA_SLOT CK_RV korva_slot13_getAttributeValue(HostContext host, const LoginRecord* login,
                                                const HostByteVector* settings, const ObjectHandle* handle,
                                                CK_ATTRIBUTE* attributes, CK_ULONG count);

// 14: start an object search
KORVA_SLOT CK_RV korva_slot14_findObjectsInit(HostContext host, const void* unused, const CK_ATTRIBUTE* attributes,
                                              CK_ULONG count, FindCursor* cursor);

// 15: next object of a search, filling the caller's template
KORVA_SLOT CK_RV korva_slot15_findNextObject(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                             CK_ATTRIBUTE* attributes, CK_ULONG count, FindCursor* cursor,
                                             ObjectHandle* handle, CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate);

// 16: destroy an object
KORVA_SLOT CK_RV korva_slot16_destroyObject(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                            const ObjectHandle* handle);

// 17: object size
KORVA_SLOT CK_RV korva_slot17_getObjectSize(HostContext host, const void* unused1, const void* unused2,
                                            const ObjectHandle* handle, CK_ULONG* size);

// 18: change attributes of an object
KORVA_SLOT CK_RV korva_slot18_setAttributes(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                            const ObjectHandle* handle, const CK_ATTRIBUTE* attributes, CK_ULONG count);

// 19: generate a secret key
KORVA_SLOT CK_RV korva_slot19_generateKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                          const CK_ATTRIBUTE* attributes, CK_ULONG count, const CK_MECHANISM* mechanism,
                                          ObjectHandle* handle, ObjectSummary* summary);

// 20: generate a key pair
KORVA_SLOT CK_RV korva_slot20_generateKeyPair(HostContext host, const LoginRecord* login,
                                              const HostByteVector* settings, const CK_ATTRIBUTE* publicAttributes,
                                              CK_ULONG publicCount, const CK_ATTRIBUTE* privateAttributes,
                                              CK_ULONG privateCount, const CK_MECHANISM* mechanism,
                                              ObjectHandle* publicHandle, ObjectHandle* privateHandle,
                                              ObjectSummary* publicSummary, ObjectSummary* privateSummary);

// 21: digest initialisation
KORVA_SLOT CK_RV korva_slot21_digestInit(HostContext host, const void* unused1, const void* unused2,
                                         const CK_MECHANISM* mechanism, OperationRecord* state);

// 22: digest (a null digest buffer asks for the length)
KORVA_SLOT CK_RV korva_slot22_digest(HostContext host, const void* unused1, const void* unused2, const uint8_t* data,
                                     CK_ULONG dataLength, uint8_t* digest, CK_ULONG* digestLength,
                                     const OperationRecord* state, CK_MECHANISM_TYPE mechanism);

// 23: sign initialisation
KORVA_SLOT CK_RV korva_slot23_signInit(HostContext host, const void* unused1, const void* unused2,
                                       const CK_MECHANISM* mechanism, const ObjectHandle* key, OperationRecord* state);

// 24: sign
KORVA_SLOT CK_RV korva_slot24_sign(HostContext host, const LoginRecord* login, const void* unused, const uint8_t* data,
                                   CK_ULONG dataLength, uint8_t* signature, CK_ULONG* signatureLength,
                                   const ObjectHandle* key, const OperationRecord* state, CK_MECHANISM_TYPE mechanism);

// 29: encryption initialisation
KORVA_SLOT CK_RV korva_slot29_encryptInit(HostContext host, const void* unused1, const void* unused2,
                                          const CK_MECHANISM* mechanism, const ObjectHandle* key,
                                          OperationRecord* state);

// 30: single-part encryption
KORVA_SLOT CK_RV korva_slot30_encrypt(HostContext host, const LoginRecord* login, const void* unused,
                                      const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
                                      CK_ULONG* outputLength, const ObjectHandle* key, OperationRecord* state,
                                      CK_MECHANISM_TYPE mechanism);

// 31: encryption update
KORVA_SLOT CK_RV korva_slot31_encryptUpdate(HostContext host, const LoginRecord* login, const void* unused,
                                            const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
                                            CK_ULONG* outputLength, const ObjectHandle* key, OperationRecord* state,
                                            CK_MECHANISM_TYPE mechanism);

// 32: encryption final
KORVA_SLOT CK_RV korva_slot32_encryptFinal(HostContext host, const LoginRecord* login, const void* unused,
                                           uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                                           OperationRecord* state, CK_MECHANISM_TYPE mechanism);

// 33: decryption initialisation
KORVA_SLOT CK_RV korva_slot33_decryptInit(HostContext host, const void* unused1, const void* unused2,
                                          const CK_MECHANISM* mechanism, const ObjectHandle* key,
                                          OperationRecord* state);

// 34: single-part decryption
KORVA_SLOT CK_RV korva_slot34_decrypt(HostContext host, const LoginRecord* login, const void* unused,
                                      const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
                                      CK_ULONG* outputLength, const ObjectHandle* key, OperationRecord* state,
                                      CK_MECHANISM_TYPE mechanism);

// 35: decryption update
KORVA_SLOT CK_RV korva_slot35_decryptUpdate(HostContext host, const LoginRecord* login, const void* unused,
                                            const uint8_t* input, CK_ULONG inputLength, uint8_t* output,
                                            CK_ULONG* outputLength, const ObjectHandle* key, OperationRecord* state,
                                            CK_MECHANISM_TYPE mechanism);

// 36: decryption final
KORVA_SLOT CK_RV korva_slot36_decryptFinal(HostContext host, const LoginRecord* login, const void* unused,
                                           uint8_t* output, CK_ULONG* outputLength, const ObjectHandle* key,
                                           OperationRecord* state, CK_MECHANISM_TYPE mechanism);

// 37: verify initialisation
KORVA_SLOT CK_RV korva_slot37_verifyInit(HostContext host, const void* unused1, const void* unused2,
                                         const CK_MECHANISM* mechanism, const ObjectHandle* key,
                                         OperationRecord* state);

// 38: verify
KORVA_SLOT CK_RV korva_slot38_verify(HostContext host, const LoginRecord* login, const void* unused,
                                     const uint8_t* data, CK_ULONG dataLength, const uint8_t* signature,
                                     CK_ULONG signatureLength, const ObjectHandle* key, const OperationRecord* state,
                                     CK_MECHANISM_TYPE mechanism);

// 40: verify with recovery (a null output asks for the length)
KORVA_SLOT CK_RV korva_slot40_verifyRecover(HostContext host, const LoginRecord* login, const void* unused,
                                            const uint8_t* signature, CK_ULONG signatureLength, uint8_t* output,
                                            CK_ULONG* outputLength, const ObjectHandle* key,
                                            const OperationRecord* state, CK_MECHANISM_TYPE mechanism);

// 41: wrap a key (a null output asks for the length)
KORVA_SLOT CK_RV korva_slot41_wrapKey(HostContext host, const LoginRecord* login, const void* unused,
                                      const CK_MECHANISM* mechanism, const ObjectHandle* wrappingKey,
                                      const ObjectHandle* key, uint8_t* output, CK_ULONG* outputLength);

// 42: unwrap a key into a new secret key
KORVA_SLOT CK_RV korva_slot42_unwrapKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                        const CK_MECHANISM* mechanism, const ObjectHandle* unwrappingKey,
                                        const uint8_t* wrappedKey, CK_ULONG wrappedKeyLength,
                                        const CK_ATTRIBUTE* attributes, CK_ULONG count, ObjectHandle* handle,
                                        ObjectSummary* summary);

// 43: derive a key
KORVA_SLOT CK_RV korva_slot43_deriveKey(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                        const CK_MECHANISM* mechanism, const ObjectHandle* baseKey,
                                        const CK_ATTRIBUTE* attributes, CK_ULONG count, ObjectHandle* handle,
                                        ObjectSummary* summary);

// 45: random bytes from the card
KORVA_SLOT CK_RV korva_slot45_generateRandom(HostContext host, const void* unused1, const void* unused2,
                                             uint8_t* buffer, CK_ULONG length);

// 46: import a key pair and certificate from PKCS#12
KORVA_SLOT CK_RV korva_slot46_importPkcs12(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                           const uint8_t* data, CK_ULONG dataLength, const char* password,
                                           CK_ULONG passwordLength, ObjectSummary* certificate,
                                           ObjectSummary* publicKey, ObjectSummary* privateKey);

// 47: import a DER certificate
KORVA_SLOT CK_RV korva_slot47_importCertificate(HostContext host, const LoginRecord* login,
                                                const HostByteVector* settings, const char* label, const uint8_t* id,
                                                CK_ULONG idLength, const uint8_t* der, CK_ULONG derLength);

// 48: build a certificate request (a null output asks for the length)
KORVA_SLOT CK_RV korva_slot48_createCertificateRequest(HostContext host, const LoginRecord* login,
                                                       const HostByteVector* settings, const ObjectHandle* publicKey,
                                                       const ObjectHandle* privateKey, const char* subject,
                                                       CK_ULONG subjectCount, uint8_t* output, CK_ULONG* outputLength,
                                                       const char* attributes, CK_ULONG attributeCount,
                                                       const char* extensions, CK_ULONG extensionCount,
                                                       CK_ULONG extensionFormat);

// 49: build a signed message (a null output asks for the length)
KORVA_SLOT CK_RV korva_slot49_signMessage(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                                          const uint8_t* data, CK_ULONG dataLength,
                                          const ObjectHandle* signerCertificate, uint8_t* output,
                                          CK_ULONG* outputLength, const ObjectHandle* privateKey,
                                          const CertificateEntry* certificates, CK_ULONG certificateCount,
                                          CK_ULONG flags);

// 50: verify a signed message
KORVA_SLOT CK_RV korva_slot50_verifyMessage(HostContext host, const void* unused1, const void* unused2,
                                            const uint8_t* message, CK_ULONG messageLength, const uint8_t* content,
                                            CK_ULONG contentLength);

// 51: initialise the token with two settings values of the caller
KORVA_SLOT CK_RV korva_slot51_initTokenWithSettings(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength,
                                                    const uint8_t* label, CK_ULONG s1, CK_ULONG s2);

// 52: initialise the token with all fifteen settings values
KORVA_SLOT CK_RV korva_slot52_initTokenFull(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength,
                                            const uint8_t* label, CK_ULONG s0, CK_ULONG s1, CK_ULONG s2, CK_ULONG s3,
                                            CK_ULONG s4, CK_ULONG s5, CK_ULONG s6, CK_ULONG s7, CK_ULONG s8,
                                            CK_ULONG s9, CK_ULONG s10, CK_ULONG s11, CK_ULONG s12, CK_ULONG s13,
                                            CK_ULONG s14);

// 55: the settings record as 17 separate bytes (null pointers are skipped)
KORVA_SLOT CK_RV korva_slot55_getTokenSettings(HostContext host, uint8_t* byte0, uint8_t* byte1, uint8_t* byte2,
                                               uint8_t* byte3, uint8_t* byte4, uint8_t* byte5, uint8_t* byte6,
                                               uint8_t* byte7, uint8_t* byte8, uint8_t* byte9, uint8_t* byte10,
                                               uint8_t* byte11, uint8_t* byte12, uint8_t* byte13, uint8_t* byte14,
                                               uint8_t* byte15, uint8_t* byte16);

// 59: write (data non-null) or delete (data null) a numbered data file
KORVA_SLOT CK_RV korva_slot59_writeDataFile(HostContext host, const LoginRecord* login, CK_ULONG number,
                                            const uint8_t* data, CK_ULONG length);

// 60: read a numbered data file (a null buffer asks for the length)
KORVA_SLOT CK_RV korva_slot60_readDataFile(HostContext host, CK_ULONG number, uint8_t* buffer, CK_ULONG* length);

// 61: release a buffer the module handed to the host
KORVA_SLOT CK_RV korva_slot61_releaseBuffer(void* buffer);

// 62: next object of a search with all its attributes
KORVA_SLOT CK_RV korva_slot62_findNextObjectAttributes(HostContext host, const LoginRecord* login,
                                                       const HostByteVector* settings, FindCursor* cursor,
                                                       CK_ATTRIBUTE** attributes, CK_ULONG* count, ObjectHandle* handle,
                                                       CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate);

// 63: release an attribute array the module handed to the host
KORVA_SLOT void korva_slot63_releaseAttributes(CK_ATTRIBUTE* attributes, CK_ULONG count);

// 64: all attributes of one object
KORVA_SLOT CK_RV korva_slot64_getAllAttributes(HostContext host, const void* unused, const HostByteVector* settings,
                                               const ObjectHandle* handle, CK_ATTRIBUTE** attributes, CK_ULONG* count,
                                               CK_OBJECT_CLASS* objectClass, uint8_t* isPrivate);

// 65: default attribute list of an object class
KORVA_SLOT CK_RV korva_slot65_getDefaultAttributes(HostContext host, const void* unused1, const void* unused2,
                                                   CK_ATTRIBUTE** attributes, CK_ULONG* count,
                                                   CK_OBJECT_CLASS objectClass);

// 66: object-set change counter
KORVA_SLOT CK_RV korva_slot66_getChangeCounter(HostContext host, const void* unused1, const void* unused2,
                                               CK_ULONG* counter);

// 67: user session set-up after login
KORVA_SLOT CK_RV korva_slot67_openUserSession(HostContext* host, const LoginRecord* login);

// 70: release session objects named in a handle list
KORVA_SLOT CK_RV korva_slot70_releaseSessionObjects(HostContext* host, const void* unused,
                                                    const HostHandleList* handles);

// 72: mechanism list with information (a null array asks for the count)
KORVA_SLOT CK_RV korva_slot72_getMechanismsWithInfo(HostContext host, const void* unused, MechanismInfoEntry* entries,
                                                    CK_ULONG* count);

}  // extern "C"

}  // namespace korva::slots
