/* Records that the host owns and passes to the module's slots, byte for byte
 * as the host lays them out. Usable from C and C++ (in C++ they live in
 * namespace korva::abi, like korva/pkcs11_types.h).
 *
 * Sizes and offsets are those of the 32-bit host; records made of bytes only
 * have the same layout everywhere, records holding pointers take the natural
 * alignment of the target. The asserts at the end pin both. */
#ifndef KORVA_HOST_RECORDS_H
#define KORVA_HOST_RECORDS_H

#include <stdint.h>

#include <korva/layout_assert.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#ifdef __cplusplus
namespace korva::abi {
extern "C" {
#endif

/* Credentials to present to the card before an operation. The card is asked
 * to verify them only for user type 0 or 1 with a non-zero PIN length. */
typedef struct LoginRecord {
    uint8_t userType; /* 0 security officer, 1 user, anything else: no login */
    uint8_t pin[103]; /* only the first pinLength bytes count */
    uint32_t pinLength;
} LoginRecord;

#define KORVA_USER_TYPE_SO 0
#define KORVA_USER_TYPE_USER 1

/* The host's growable array object: three words of its own, then the begin
 * and end of the elements and the end of the reserved storage. The module
 * reads the elements between begin and end and never grows a host array,
 * except the session-object table it created itself. */
typedef struct HostByteVector {
    uint8_t reserved[12];
    uint8_t* begin;
    uint8_t* end;
    uint8_t* storageEnd;
} HostByteVector;

/* An object handle in a host list is a byte vector of its own. */
typedef HostByteVector HostHandleBytes;

/* The list of handles given to the slot that releases session objects. */
typedef struct HostHandleList {
    uint8_t reserved[12];
    HostHandleBytes* begin;
    HostHandleBytes* end;
    HostHandleBytes* storageEnd;
} HostHandleList;

/* The token's settings: the first 17 bytes of the settings file 50 E1. The
 * host keeps them in a HostByteVector and hands that vector back to the
 * slots, which copy these 17 bytes from it. */
#define KORVA_TOKEN_SETTINGS_SIZE 17
typedef struct TokenSettings {
    uint8_t bytes[KORVA_TOKEN_SETTINGS_SIZE];
} TokenSettings;

/* A session object: a secret key that lives only in the host's table.
 * The attribute values are separately allocated and owned by the entry. An
 * entry with count 0 is free. */
#define KORVA_SESSION_OBJECT_ATTRIBUTES 30
typedef struct SessionObject {
    CK_ATTRIBUTE attributes[KORVA_SESSION_OBJECT_ATTRIBUTES];
    uint32_t count;       /* attributes in use */
    uint32_t objectClass; /* always CKO_SECRET_KEY */
} SessionObject;

/* The session-object table the cookie of HostContext points to. Session
 * object i (1-based) is begin[i - 1]. */
typedef struct HostSessionTable {
    uint8_t reserved[12];
    SessionObject* begin;
    SessionObject* end;
    SessionObject* storageEnd;
} HostSessionTable;

/* Names a token object by its directory record, or a session object:
 * record n, then the directory file identifier, high byte first. A session
 * object is i FF FF, i its 1-based index in the session-object table. */
typedef struct ObjectHandle {
    uint8_t record;
    uint8_t directoryHigh;
    uint8_t directoryLow;
} ObjectHandle;

#define KORVA_SESSION_DIRECTORY 0xFFFF

/* The token's directory files, one per object class. */
#define KORVA_PRIVATE_KEY_DIRECTORY 0x5000
#define KORVA_PUBLIC_KEY_DIRECTORY 0x5001
#define KORVA_SECRET_KEY_DIRECTORY 0x5003
#define KORVA_CERTIFICATE_DIRECTORY 0x5004
#define KORVA_DATA_DIRECTORY 0x5007

/* What the creating slots report about a new object: its class as a native
 * 32-bit number directly followed by its CKA_PRIVATE byte (5 bytes, no
 * padding). */
#pragma pack(push, 1)
typedef struct ObjectSummary {
    uint32_t objectClass;
    uint8_t isPrivate;
} ObjectSummary;
#pragma pack(pop)

/* The host's cursor of an object search. The host clears bytes 4 to 10
 * before the search starts; the start slot writes bytes 0 to 3. */
typedef struct FindCursor {
    uint8_t classGiven;    /* 1 when the search template named a class; not read */
    uint8_t lastIndex;     /* record (or session-object) index last returned, 0 before the first */
    uint8_t directoryHigh; /* directory being walked: 00 00 not started, FF FF session objects */
    uint8_t directoryLow;
    uint8_t hostByte;    /* the host's own; never read or written by the module */
    uint8_t countsValid; /* copy of the counters file's counts-valid byte */
    /* objects still to find: data, certificates, secret, public, private keys */
    uint8_t remaining[5];
} FindCursor;

/* Indices into FindCursor.remaining. */
#define KORVA_CURSOR_DATA 0
#define KORVA_CURSOR_CERTIFICATES 1
#define KORVA_CURSOR_SECRET_KEYS 2
#define KORVA_CURSOR_PUBLIC_KEYS 3
#define KORVA_CURSOR_PRIVATE_KEYS 4

/* The host-owned state of an initialised operation: written by the
 * initialisation slot, passed back unchanged to the operation slots.
 * Signing, verification and digest keep a digest parameter in it; the cipher
 * operations keep their chaining value and pending bytes. All members are
 * byte arrays over the same 40 bytes. */
#define KORVA_OPERATION_RECORD_SIZE 40
typedef struct DigestParameterState {
    uint8_t length;  /* 0 to 39 */
    uint8_t der[39]; /* DER object identifier (tag 06, length, value), then zeros */
} DigestParameterState;

typedef struct CipherState {
    uint8_t chainingValue[16]; /* IV, then the last ciphertext block (8 or 16 bytes used) */
    uint8_t pendingCount;      /* 0 to one block */
    uint8_t pending[16];       /* bytes not yet processed */
    uint8_t unused[7];         /* zero */
} CipherState;

typedef union OperationRecord {
    uint8_t bytes[KORVA_OPERATION_RECORD_SIZE];
    DigestParameterState digest;
    CipherState cipher;
} OperationRecord;

/* One entry of the further-certificate array of a signed message: an object
 * handle and 13 bytes the module ignores. */
typedef struct CertificateEntry {
    ObjectHandle handle;
    uint8_t ignored[13];
} CertificateEntry;

#ifdef __cplusplus
} /* extern "C" */
} /* namespace korva::abi */
#endif

/* Layouts that hold on every architecture. */
KORVA_ASSERT_SIZE(LoginRecord, 108);
KORVA_ASSERT_OFFSET(LoginRecord, pin, 1);
KORVA_ASSERT_OFFSET(LoginRecord, pinLength, 104);
KORVA_ASSERT_SIZE(TokenSettings, 17);
KORVA_ASSERT_SIZE(ObjectHandle, 3);
KORVA_ASSERT_SIZE(ObjectSummary, 5);
KORVA_ASSERT_OFFSET(ObjectSummary, isPrivate, 4);
KORVA_ASSERT_SIZE(FindCursor, 11);
KORVA_ASSERT_OFFSET(FindCursor, countsValid, 5);
KORVA_ASSERT_OFFSET(FindCursor, remaining, 6);
KORVA_ASSERT_SIZE(DigestParameterState, 40);
KORVA_ASSERT_SIZE(CipherState, 40);
KORVA_ASSERT_OFFSET(CipherState, pendingCount, 16);
KORVA_ASSERT_OFFSET(CipherState, pending, 17);
KORVA_ASSERT_SIZE(OperationRecord, 40);
KORVA_ASSERT_SIZE(CertificateEntry, 16);
KORVA_ASSERT_OFFSET(HostByteVector, begin, sizeof(void*) == 4 ? 12 : 16);

/* The 32-bit host's layouts. */
#if defined(__i386__)
KORVA_ASSERT_SIZE(HostContext, 16);
KORVA_ASSERT_OFFSET(HostContext, transmit, 8);
KORVA_ASSERT_OFFSET(HostContext, cookie, 12);
KORVA_ASSERT_SIZE(HostByteVector, 24);
KORVA_ASSERT_OFFSET(HostByteVector, begin, 12);
KORVA_ASSERT_OFFSET(HostByteVector, end, 16);
KORVA_ASSERT_OFFSET(HostByteVector, storageEnd, 20);
KORVA_ASSERT_SIZE(HostHandleList, 24);
KORVA_ASSERT_OFFSET(HostHandleList, begin, 12);
KORVA_ASSERT_OFFSET(HostHandleList, end, 16);
KORVA_ASSERT_SIZE(HostSessionTable, 24);
KORVA_ASSERT_OFFSET(HostSessionTable, begin, 12);
KORVA_ASSERT_OFFSET(HostSessionTable, end, 16);
KORVA_ASSERT_OFFSET(HostSessionTable, storageEnd, 20);
KORVA_ASSERT_SIZE(SessionObject, 368);
KORVA_ASSERT_OFFSET(SessionObject, count, 360);
KORVA_ASSERT_OFFSET(SessionObject, objectClass, 364);
#endif

#endif
