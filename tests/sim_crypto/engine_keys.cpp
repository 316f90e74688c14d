#include "tests/sim_crypto/engine_keys.h"

#include <openssl/rand.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace korva::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kGost2001{0x06, 0x06, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x13};
const Bytes kGost2012_256{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x01};
const Bytes kGost2012_512{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x02};
const Bytes kDigest94{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
const Bytes kDigest2012_256{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};

Bytes cryptoProSet(uint8_t last) { return {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, last}; }
Bytes tc26Set(uint8_t size, uint8_t last) { return {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, size, last}; }

const std::vector<EngineCurve> kCurves{
    {1, kGost2001, cryptoProSet(2), kDigest94},
    {2, kGost2001, cryptoProSet(1), kDigest94},
    {3, kGost2001, cryptoProSet(3), kDigest94},
    {4, kGost2001, cryptoProSet(0), kDigest94},
    {5, kGost2012_256, tc26Set(1, 1), kDigest2012_256},
    {9, kGost2012_512, tc26Set(2, 1), {}},
    {10, kGost2012_512, tc26Set(2, 2), {}},
    {11, kGost2012_512, tc26Set(2, 3), {}},
};

Bytes der(uint8_t tag, std::span<const uint8_t> content) {
    Bytes out{tag};
    const std::size_t length = content.size();
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
    } else if (length < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(length)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes algorithmIdentifier(const EngineCurve& curve) {
    return der(0x30, concat({curve.algorithmOid, der(0x30, concat({curve.paramsetOid, curve.digestOid}))}));
}

}  // namespace

const EngineCurve& engineCurve(uint8_t code) {
    const auto found = std::ranges::find(kCurves, code, &EngineCurve::code);
    if (found == kCurves.end()) throw std::invalid_argument("no engine curve for this code");
    return *found;
}

std::vector<uint8_t> reversed(std::span<const uint8_t> bytes) { return {bytes.rbegin(), bytes.rend()}; }

Pkey enginePublicKey(uint8_t code, std::span<const uint8_t> publicKey) {
    const std::size_t half = publicKey.size() / 2;
    const Bytes value = concat({reversed(publicKey.first(half)), reversed(publicKey.subspan(half))});
    const Bytes bitString = concat({{0x00}, der(0x04, value)});
    const Bytes spki = der(0x30, concat({algorithmIdentifier(engineCurve(code)), der(0x03, bitString)}));
    const uint8_t* cursor = spki.data();
    return Pkey(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size())));
}

Pkey enginePrivateKey(uint8_t code, std::span<const uint8_t> privateKey) {
    const Bytes pkcs8 = der(0x30, concat({{0x02, 0x01, 0x00},
                                          algorithmIdentifier(engineCurve(code)),
                                          der(0x04, der(0x04, reversed(privateKey)))}));
    const uint8_t* cursor = pkcs8.data();
    return Pkey(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(pkcs8.size())));
}

std::vector<uint8_t> cardPublicKey(EVP_PKEY* key, std::size_t size) {
    unsigned char* encoded = nullptr;
    const int length = i2d_PUBKEY(key, &encoded);
    if (length <= 0) return {};
    // The SubjectPublicKeyInfo ends with the octet string X || Y, little-endian.
    const std::span<const uint8_t> spki(encoded, static_cast<std::size_t>(length));
    const std::span<const uint8_t> value = spki.last(2 * size);
    Bytes out = concat({reversed(value.first(size)), reversed(value.subspan(size))});
    OPENSSL_free(encoded);
    return out;
}

std::vector<uint8_t> randomBytes(std::size_t count) {
    Bytes out(count);
    EXPECT_EQ(RAND_bytes(out.data(), static_cast<int>(count)), 1);
    return out;
}

std::vector<uint8_t> exchangeHalves(std::span<const uint8_t> signature) {
    const std::size_t half = signature.size() / 2;
    Bytes out(signature.begin() + static_cast<std::ptrdiff_t>(half), signature.end());
    out.insert(out.end(), signature.begin(), signature.begin() + static_cast<std::ptrdiff_t>(half));
    return out;
}

void deriveWithEngine(uint8_t code, std::span<const uint8_t> privateKey, std::span<const uint8_t> peerPublicKey,
                      std::span<const uint8_t> hostUkm, std::vector<uint8_t>& agreedKey) {
    const Pkey own = enginePrivateKey(code, privateKey);
    const Pkey other = enginePublicKey(code, peerPublicKey);
    ASSERT_TRUE(own && other);
    const PkeyContext context(EVP_PKEY_CTX_new(own.get(), nullptr));
    ASSERT_TRUE(context);
    ASSERT_EQ(EVP_PKEY_derive_init(context.get()), 1);
    ASSERT_EQ(EVP_PKEY_derive_set_peer(context.get(), other.get()), 1);
    ASSERT_GT(EVP_PKEY_CTX_ctrl(context.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, static_cast<int>(hostUkm.size()),
                                const_cast<uint8_t*>(hostUkm.data())),
              0);
    agreedKey.assign(32, 0);
    std::size_t length = agreedKey.size();
    ASSERT_EQ(EVP_PKEY_derive(context.get(), agreedKey.data(), &length), 1);
    agreedKey.resize(length);
}

}  // namespace korva::test
