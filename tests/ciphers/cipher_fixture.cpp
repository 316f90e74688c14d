#include "tests/ciphers/cipher_fixture.h"

#include "common/openssl_ptr.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace korva::test {
namespace {

using namespace korva::abi;

// The DER of id-Gost28147-89-CryptoPro-A- to -D-ParamSet for codes 5 to 8.
Bytes gostParameterSet(uint8_t code) { return {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, uint8_t(code - 4)}; }

const char* gostParameterName(uint8_t code) {
    static const char* const kNames[] = {"id-Gost28147-89-CryptoPro-A-ParamSet", "id-Gost28147-89-CryptoPro-B-ParamSet",
                                         "id-Gost28147-89-CryptoPro-C-ParamSet",
                                         "id-Gost28147-89-CryptoPro-D-ParamSet"};
    return kNames[code - 5];
}

Bytes evpCipher(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& input, bool encrypt,
                bool padding, const char* gostSbox = nullptr) {
    if (cipher == nullptr) throw std::runtime_error("reference cipher missing");
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    Bytes out(input.size() + 32);
    int length = 0;
    int last = 0;
    if (EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(),
                          encrypt ? 1 : 0) != 1) {
        throw std::runtime_error("reference init");
    }
    if (gostSbox != nullptr) {
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>(gostSbox));
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_KEY_MESH, 0, nullptr);
    }
    EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0);
    if (EVP_CipherUpdate(context.get(), out.data(), &length, input.data(), int(input.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), out.data() + length, &last) != 1) {
        return {};  // what a bad padding gives
    }
    out.resize(size_t(length + last));
    return out;
}

// DES as triple DES with K1 = K2 = K3, two-key triple DES with K3 = K1:
// single DES is not in OpenSSL 3's default provider.
Bytes tripleDesKey(const Bytes& key) {
    Bytes out = key;
    if (key.size() == 8) {
        out.insert(out.end(), key.begin(), key.end());
        out.insert(out.end(), key.begin(), key.end());
    } else if (key.size() == 16) {
        out.insert(out.end(), key.begin(), key.begin() + 8);
    }
    return out;
}

const EVP_CIPHER* aes(std::size_t keyLength, bool cbc) {
    switch (keyLength) {
        case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        default: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    }
}

// GOST 28147-89 has no ECB in the engine: one block of its CBC with a zero
// IV is one ECB block.
Bytes gostEcbByEngine(const Bytes& key, uint8_t code, const Bytes& input, bool encrypt) {
    Bytes out;
    for (std::size_t offset = 0; offset < input.size(); offset += 8) {
        const Bytes block(input.begin() + std::ptrdiff_t(offset), input.begin() + std::ptrdiff_t(offset + 8));
        const Bytes done = evpCipher(EVP_get_cipherbyname("gost89-cbc"), key, Bytes(8, 0), block, encrypt, false,
                                     gostParameterName(code));
        out.insert(out.end(), done.begin(), done.end());
    }
    return out;
}

// Finds the 4-byte CKA_KEY_TYPE entry of a directory record.
std::size_t keyTypeValueOffset(const Bytes& record) {
    const Bytes entry = {0x00, 0x00, 0x01, 0x00, 0x04};
    const auto found = std::search(record.begin(), record.end(), entry.begin(), entry.end());
    if (found == record.end()) throw std::runtime_error("no key type in the record");
    return std::size_t(found - record.begin()) + entry.size();
}

}  // namespace

std::size_t blockOf(uint32_t mechanism) { return (mechanism & 0xFFF0) == 0x1080 ? 16 : 8; }

bool isPadded(uint32_t mechanism) {
    return mechanism == CKM_DES_CBC_PAD || mechanism == CKM_DES3_CBC_PAD || mechanism == CKM_AES_CBC_PAD;
}

std::size_t ivLengthOf(uint32_t mechanism) {
    switch (mechanism) {
        case CKM_DES_CBC:
        case CKM_DES_CBC_PAD:
        case CKM_DES3_CBC:
        case CKM_DES3_CBC_PAD:
        case CKM_GOST28147: return 8;
        case CKM_AES_CBC:
        case CKM_AES_CBC_PAD: return 16;
        default: return 0;
    }
}

Bytes patternBytes(std::size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = uint8_t(seed + i * 29 + (i >> 3));
    return bytes;
}

Bytes referenceCipher(uint32_t mechanism, const Bytes& key, uint8_t gostCode, const Bytes& iv, const Bytes& input,
                      Direction direction) {
    const bool encrypt = direction == Direction::kEncrypt;
    const bool padding = isPadded(mechanism);
    switch (mechanism) {
        case CKM_DES_ECB:
        case CKM_DES3_ECB: return evpCipher(EVP_des_ede3_ecb(), tripleDesKey(key), {}, input, encrypt, false);
        case CKM_DES_CBC:
        case CKM_DES_CBC_PAD:
        case CKM_DES3_CBC:
        case CKM_DES3_CBC_PAD: return evpCipher(EVP_des_ede3_cbc(), tripleDesKey(key), iv, input, encrypt, padding);
        case CKM_AES_ECB: return evpCipher(aes(key.size(), false), key, {}, input, encrypt, false);
        case CKM_AES_CBC:
        case CKM_AES_CBC_PAD: return evpCipher(aes(key.size(), true), key, iv, input, encrypt, padding);
        case CKM_GOST28147_ECB: return gostEcbByEngine(key, gostCode, input, encrypt);
        case CKM_GOST28147:
            return evpCipher(EVP_get_cipherbyname("gost89"), key, iv, input, encrypt, false,
                             gostParameterName(gostCode));
        default: throw std::runtime_error("no reference for the mechanism");
    }
}

ObjectHandle CipherTest::makeKey(const KeySpec& spec, Bytes& value, Template extra) {
    const bool gostBody = spec.keyType == CKK_GOST28147 || spec.home == KeyHome::kTokenDes3;
    value = patternBytes(gostBody ? 32 : spec.length, uint8_t(0x30 + spec.length + spec.gostCode));
    Template tmpl;
    tmpl.number(CKA_CLASS, CKO_SECRET_KEY).text(CKA_LABEL, "cipher key").bytes(CKA_VALUE, value);
    tmpl.number(CKA_KEY_TYPE, gostBody ? CKK_GOST28147 : spec.keyType);
    // GOST keys go to the card only as CKA_TOKEN false; triple-DES keys so
    // marked stay with the host.
    tmpl.flag(CKA_TOKEN, spec.home == KeyHome::kToken && !gostBody);
    if (gostBody) tmpl.bytes(CKA_GOST28147_PARAMS, gostParameterSet(spec.gostCode));
    for (uint32_t i = 0; i < extra.size(); ++i) {
        const CK_ATTRIBUTE& entry = extra.data()[i];
        const auto* bytes = static_cast<const uint8_t*>(entry.pValue);
        tmpl.bytes(entry.type, Bytes(bytes, bytes + entry.ulValueLen));
    }
    const ObjectHandle handle = mustCreate(tmpl);
    if (spec.home != KeyHome::kTokenDes3) return handle;

    // The module never makes a three-key token key; this one is a GOST
    // body whose record is made to say CKK_DES3. The card's security state
    // still holds the user PIN from the creation.
    EXPECT_EQ(sendToCard(host->card(), "00 A4 08 04 04 A1 BC 7F 01").statusWord(), 0x9000);
    EXPECT_EQ(sendToCard(host->card(), "00 A4 00 04 02 50 03").statusWord(), 0x9000);
    Bytes record = sendToCard(host->card(), Bytes{0x00, 0xB2, handle.record, 0x04, 0xFF}).data;
    record.resize(255, 0);
    record[keyTypeValueOffset(record) + 3] = uint8_t(CKK_DES3);
    Bytes write = {0x00, 0xDC, handle.record, 0x04, 0xFF};
    write.insert(write.end(), record.begin(), record.end());
    EXPECT_EQ(sendToCard(host->card(), write).statusWord(), 0x9000);
    value.insert(value.begin(), spec.gostCode);  // the body: parameter code, then the key
    value.resize(24);
    return handle;
}

CK_RV CipherTest::init(Direction direction, uint32_t mechanism, const ObjectHandle& key, const Bytes& iv,
                       OperationRecord& state) {
    const CK_MECHANISM given{mechanism, iv.empty() ? nullptr : const_cast<uint8_t*>(iv.data()), CK_ULONG(iv.size())};
    const auto slot = direction == Direction::kEncrypt ? slots().encryptInit : slots().decryptInit;
    return slot(host->context(), nullptr, nullptr, &given, &key, &state);
}

Outcome CipherTest::once(Direction direction, uint32_t mechanism, const ObjectHandle& key, const Bytes& iv,
                         const Bytes& input) {
    OperationRecord state{};
    Outcome outcome;
    outcome.rv = init(direction, mechanism, key, iv, state);
    if (outcome.rv != CKR_OK) return outcome;
    const auto slot = direction == Direction::kEncrypt ? slots().encrypt : slots().decrypt;
    CK_ULONG length = 0;
    outcome.rv = slot(host->context(), user(), nullptr, input.data(), CK_ULONG(input.size()), nullptr, &length, &key,
                      &state, mechanism);
    if (outcome.rv != CKR_OK) return outcome;
    outcome.data.assign(length, 0);
    outcome.rv = slot(host->context(), user(), nullptr, input.data(), CK_ULONG(input.size()), outcome.data.data(),
                      &length, &key, &state, mechanism);
    outcome.data.resize(std::min<std::size_t>(length, outcome.data.size()));
    return outcome;
}

CK_RV CipherTest::update(Direction direction, uint32_t mechanism, const ObjectHandle& key, OperationRecord& state,
                         const Bytes& input, Bytes& output) {
    const auto slot = direction == Direction::kEncrypt ? slots().encryptUpdate : slots().decryptUpdate;
    Bytes buffer(input.size() + 32);
    CK_ULONG length = CK_ULONG(buffer.size());
    const CK_RV rv = slot(host->context(), user(), nullptr, input.data(), CK_ULONG(input.size()), buffer.data(),
                          &length, &key, &state, mechanism);
    if (rv == CKR_OK) output.insert(output.end(), buffer.begin(), buffer.begin() + length);
    return rv;
}

CK_RV CipherTest::final(Direction direction, uint32_t mechanism, const ObjectHandle& key, OperationRecord& state,
                        Bytes& output) {
    const auto slot = direction == Direction::kEncrypt ? slots().encryptFinal : slots().decryptFinal;
    Bytes buffer(32);
    CK_ULONG length = CK_ULONG(buffer.size());
    const CK_RV rv = slot(host->context(), user(), nullptr, buffer.data(), &length, &key, &state, mechanism);
    if (rv == CKR_OK) output.insert(output.end(), buffer.begin(), buffer.begin() + length);
    return rv;
}

Outcome CipherTest::inPieces(Direction direction, uint32_t mechanism, const ObjectHandle& key, const Bytes& iv,
                             const Bytes& input, std::size_t piece) {
    OperationRecord state{};
    Outcome outcome;
    outcome.rv = init(direction, mechanism, key, iv, state);
    for (std::size_t offset = 0; outcome.rv == CKR_OK && offset < input.size(); offset += piece) {
        const std::size_t take = std::min(piece, input.size() - offset);
        const Bytes part(input.begin() + std::ptrdiff_t(offset), input.begin() + std::ptrdiff_t(offset + take));
        outcome.rv = update(direction, mechanism, key, state, part, outcome.data);
    }
    if (outcome.rv == CKR_OK) outcome.rv = final(direction, mechanism, key, state, outcome.data);
    return outcome;
}

}  // namespace korva::test
