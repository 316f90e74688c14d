// The GOST engine's view of a key, for tests that check the virtual card
// against it: public and private keys in the engine's DER forms, built from
// raw values. The engine holds coordinates and private keys little-endian
// (the PKCS#11 CKA_VALUE form). Also the pieces those tests share: random
// digests, the host form of a card signature and the engine's side of a
// key agreement.
#pragma once

#include "common/openssl_ptr.h"

#include <openssl/evp.h>

#include <cstdint>
#include <span>
#include <vector>

namespace korva::test {

using Pkey = EvpPkeyPtr;
using PkeyContext = EvpPkeyCtxPtr;

// The engine's algorithm and parameter set for a card curve code.
struct EngineCurve {
    uint8_t code;
    std::vector<uint8_t> algorithmOid;  // DER, tag and length included
    std::vector<uint8_t> paramsetOid;
    std::vector<uint8_t> digestOid;  // empty for 512-bit keys
};
const EngineCurve& engineCurve(uint8_t code);

std::vector<uint8_t> reversed(std::span<const uint8_t> bytes);

// `publicKey` is X then Y, big-endian, as the card reads it out.
Pkey enginePublicKey(uint8_t code, std::span<const uint8_t> publicKey);
// `privateKey` is big-endian.
Pkey enginePrivateKey(uint8_t code, std::span<const uint8_t> privateKey);
// The card form (X then Y, big-endian) of an engine key's public point.
std::vector<uint8_t> cardPublicKey(EVP_PKEY* key, std::size_t size);

std::vector<uint8_t> randomBytes(std::size_t count);
// The host form of a card signature: its halves exchanged (the same swap
// turns a host signature into the card form).
std::vector<uint8_t> exchangeHalves(std::span<const uint8_t> signature);
// The engine's VKO: our big-endian private key with the peer's card-form
// public key and the host's UKM. Fails the test where the engine refuses;
// call it inside ASSERT_NO_FATAL_FAILURE.
void deriveWithEngine(uint8_t code, std::span<const uint8_t> privateKey, std::span<const uint8_t> peerPublicKey,
                      std::span<const uint8_t> hostUkm, std::vector<uint8_t>& agreedKey);

}  // namespace korva::test
