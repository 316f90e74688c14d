// What the cipher tests share: an initialised token (the object store's
// fixture), secret keys of every kind made through the module, the eight
// slots in short form, and OpenSSL's own ciphers as the reference.
#pragma once

#include "tests/objects/store_fixture.h"

#include <korva/pkcs11_constants.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korva::test {

enum class Direction { kEncrypt, kDecrypt };

// Where a secret key lives.
enum class KeyHome {
    kToken,      // made by slot 11 on the card
    kSession,    // a triple-DES key in the host's session objects
    kTokenDes3,  // a three-key triple-DES key in body 63 nn (read by the module)
};

struct KeySpec {
    uint32_t keyType;
    std::size_t length;
    KeyHome home = KeyHome::kToken;
    uint8_t gostCode = 5;  // S-box of a GOST key: 5 to 8
};

struct Outcome {
    abi::CK_RV rv = 0xFFFFFFFF;
    Bytes data;
};

// The mechanism's block size (8, or 16 for AES).
std::size_t blockOf(uint32_t mechanism);
bool isPadded(uint32_t mechanism);
std::size_t ivLengthOf(uint32_t mechanism);

// OpenSSL (and its GOST engine) over the whole input with the same key
// value, IV and padding: what the token must produce.
Bytes referenceCipher(uint32_t mechanism, const Bytes& key, uint8_t gostCode, const Bytes& iv, const Bytes& input,
                      Direction direction);

Bytes patternBytes(std::size_t length, uint8_t seed);

class CipherTest : public StoreTest {
protected:
    // A key of `spec` with CKA_VALUE `value`; `value` receives the key bytes
    // the card actually ciphers with.
    abi::ObjectHandle makeKey(const KeySpec& spec, Bytes& value, Template extra = {});

    abi::CK_RV init(Direction direction, uint32_t mechanism, const abi::ObjectHandle& key, const Bytes& iv,
                    abi::OperationRecord& state);
    // Single-part: a length query, then the call with a buffer of that size.
    Outcome once(Direction direction, uint32_t mechanism, const abi::ObjectHandle& key, const Bytes& iv,
                 const Bytes& input);
    // Updates of `piece` bytes over `input`, then the final call.
    Outcome inPieces(Direction direction, uint32_t mechanism, const abi::ObjectHandle& key, const Bytes& iv,
                     const Bytes& input, std::size_t piece);

    // Raw calls with the host's own state.
    abi::CK_RV update(Direction direction, uint32_t mechanism, const abi::ObjectHandle& key,
                      abi::OperationRecord& state, const Bytes& input, Bytes& output);
    abi::CK_RV final(Direction direction, uint32_t mechanism, const abi::ObjectHandle& key, abi::OperationRecord& state,
                     Bytes& output);
};

}  // namespace korva::test
