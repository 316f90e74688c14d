// RSA private keys given to C_CreateObject (pkcs11-tool --write-object
// --type privkey, an application importing a key OpenSSL made). The card
// keeps an RSA key pair in one key file that the public key creates: the
// module stores a private key only into the file of the public key with the
// same CKA_ID and takes the modulus from there. An application that writes
// only the private key would get CKR_FUNCTION_FAILED; the library therefore
// writes the public key first (from the private key's modulus and public
// exponent), gives a key without CKA_ID the SHA-1 of its modulus as ID, and
// removes the public key again when the private key is refused. A public key
// already on the token with that ID must hold the same modulus.
#pragma once

#include "host/pkcs11_api.h"

namespace korva::host {

// Whether C_CreateObject must go through createRsaPrivateKey: an RSA
// private key with its modulus, outside a call of createRsaPrivateKey.
bool needsRsaKeyPairFile(const ck_attribute* attributes, unsigned long count);

ck_rv_t createRsaPrivateKey(ck_session_handle_t session, const ck_attribute* attributes, unsigned long count,
                            ck_object_handle_t* object);

}  // namespace korva::host
