/* The token's operations that the PKCS#11 standard has no function for:
 * certificate requests, PKCS#7 signed messages and their verification, and the
 * import of PKCS#12 files and certificates.
 *
 * They work on the library's own sessions and object handles, so they share
 * its login state, locks and readers with the standard functions. Outputs
 * follow the standard's convention: a null buffer asks for the length
 * (CKR_OK with the length stored), a buffer that is too small gives
 * CKR_BUFFER_TOO_SMALL with the needed length stored. The token signs on
 * every call, a length query included, so an application that can guess a
 * size (a few KiB is plenty for a request) saves one signature by passing a
 * buffer at once.
 *
 * How to find them: the library exports exactly one name beyond the C_
 * functions, KORVA_GetVendorFunctionList, which hands out the table below.
 * Look it up with dlsym() on the handle that gave C_GetFunctionList:
 *
 *     KORVA_GetVendorFunctionList_t get =
 *         (KORVA_GetVendorFunctionList_t)dlsym(library, "KORVA_GetVendorFunctionList");
 *     KORVA_VENDOR_FUNCTION_LIST* functions = NULL;
 *     if (get == NULL || get(&functions) != CKR_OK) ... the library is not the token's
 *
 * Types are plain C: session and object handles, lengths and return values
 * are unsigned long as in every PKCS#11 header, so this file needs no
 * particular pkcs11.h and may follow any of them. */
#ifndef KORVA_PKCS11_VENDOR_FUNCTIONS_H
#define KORVA_PKCS11_VENDOR_FUNCTIONS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The table's version: a later library may append functions and raise the
 * minor number; a change of the major number means an incompatible table. */
#define KORVA_VENDOR_FUNCTIONS_MAJOR 1
#define KORVA_VENDOR_FUNCTIONS_MINOR 0

/* A field of a subject name or a request attribute: `name` is a short name
 * ("CN"), a long name ("commonName") or a dotted object identifier. The
 * Russian registration numbers 1.2.643.100.1 (OGRN), 1.2.643.100.3 (SNILS)
 * and 1.2.643.3.131.1.1 (INN) become NumericStrings, everything else UTF-8
 * text. */
typedef struct KORVA_NAME_VALUE {
    const char* name;
    const char* value;
} KORVA_NAME_VALUE;

/* An extension of a certificate request, its value in OpenSSL's extension
 * configuration syntax ("keyUsage" = "digitalSignature,nonRepudiation"). */
typedef struct KORVA_EXTENSION {
    const char* name;
    const char* value;
    unsigned char critical; /* 0 or 1 */
} KORVA_EXTENSION;

/* The request attribute that asks for the GOST R 34.11-2012 (256-bit)
 * signature profile of a 256-bit GOST key; it is not written into the
 * request. Without it such a key signs with GOST R 34.11-94 unless its
 * CKA_GOSTR3411_PARAMS names the 2012 hash. */
#define KORVA_ATTRIBUTE_GOST2012_256_PROFILE "1.2.643.7.1.1.2.2"

/* Flags of KORVA_SignMessage. */
#define KORVA_MESSAGE_DETACHED 0x40UL /* the content is not carried in the message */

/* Builds a DER PKCS#10 certificate request for a key pair on the token,
 * signed by the token. privateKey may be 0: the private key with the public
 * key's CKA_ID is used. Needs the user logged in. Besides the standard
 * codes: CKR_VENDOR_SUBJECT_ENTRY_REJECTED, CKR_VENDOR_REQUEST_ATTRIBUTE_REJECTED,
 * CKR_VENDOR_EXTENSION_REJECTED (include/korva/pkcs11_vendor.h). */
typedef unsigned long (*KORVA_CreateCertificateRequest_t)(
    unsigned long session, unsigned long publicKey, unsigned long privateKey, const KORVA_NAME_VALUE* subject,
    unsigned long subjectCount, const KORVA_NAME_VALUE* attributes, unsigned long attributeCount,
    const KORVA_EXTENSION* extensions, unsigned long extensionCount, unsigned char* request,
    unsigned long* requestLength);

/* Builds a DER PKCS#7 SignedData message over `data`, signed on the token by
 * the key of the certificate object `certificate` (privateKey 0: the private
 * key with the certificate's CKA_ID), carrying that certificate and the
 * further certificate objects given. No signed attributes. */
typedef unsigned long (*KORVA_SignMessage_t)(unsigned long session, unsigned long certificate, unsigned long privateKey,
                                             const unsigned long* furtherCertificates, unsigned long furtherCount,
                                             const unsigned char* data, unsigned long dataLength, unsigned long flags,
                                             unsigned char* message, unsigned long* messageLength);

/* Checks the signature of a DER PKCS#7 SignedData message with the signer's
 * certificate carried inside (its chain is not judged), over the content
 * inside or, for a detached message, over `content`. CKR_OK only for a good
 * signature; CKR_SIGNATURE_INVALID for a bad one, a missing signer or wrong
 * content; CKR_DATA_INVALID for bytes that are no such message. */
typedef unsigned long (*KORVA_VerifyMessage_t)(unsigned long session, const unsigned char* message,
                                               unsigned long messageLength, const unsigned char* content,
                                               unsigned long contentLength);

/* Stores the RSA key pair and the certificate of a DER PKCS#12 file as token
 * objects (the token labels them "<id>(Import)" with a fresh random id).
 * Needs a read/write session with the user logged in. The token keeps RSA
 * keys of 1024 bits. A wrong password gives CKR_PIN_INCORRECT, an unreadable
 * file or a key of another kind CKR_DATA_INVALID, a GOST, EC or longer RSA
 * key CKR_FUNCTION_FAILED; the token stores nothing for any of these. The
 * objects' handles are not returned: find them by the new CKA_ID. */
typedef unsigned long (*KORVA_ImportPkcs12_t)(unsigned long session, const unsigned char* pkcs12,
                                              unsigned long pkcs12Length, const char* password,
                                              unsigned long passwordLength);

/* Stores a DER X.509 certificate as a token object with the given label
 * (zero-terminated, may be null) and CKA_ID. */
typedef unsigned long (*KORVA_ImportCertificate_t)(unsigned long session, const char* label, const unsigned char* id,
                                                   unsigned long idLength, const unsigned char* certificate,
                                                   unsigned long certificateLength);

typedef struct KORVA_VENDOR_FUNCTION_LIST {
    unsigned char major; /* KORVA_VENDOR_FUNCTIONS_MAJOR */
    unsigned char minor; /* KORVA_VENDOR_FUNCTIONS_MINOR */
    KORVA_CreateCertificateRequest_t createCertificateRequest;
    KORVA_SignMessage_t signMessage;
    KORVA_VerifyMessage_t verifyMessage;
    KORVA_ImportPkcs12_t importPkcs12;
    KORVA_ImportCertificate_t importCertificate;
} KORVA_VENDOR_FUNCTION_LIST;

/* Callable before C_Initialize; the functions of the table are not. */
typedef unsigned long (*KORVA_GetVendorFunctionList_t)(KORVA_VENDOR_FUNCTION_LIST** list);

#ifdef __cplusplus
}
#endif

#endif
