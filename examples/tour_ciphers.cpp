#include "examples/tour_ciphers.h"

#include "examples/tour_common.h"

#include "common/openssl_ptr.h"
#include "tests/support/host_template.h"

#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include <openssl/evp.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace korva::tour {

namespace {

namespace abi = korva::abi;
using Bytes = std::vector<uint8_t>;

struct CipherKey {
    const char* title;
    abi::CK_KEY_TYPE keyType;
    abi::CK_MECHANISM_TYPE mechanism;
    Bytes value;
    Bytes iv;
};

std::string hexText(const Bytes& bytes) {
    constexpr size_t kShown = 24;
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    if (bytes.size() > kShown) text += "... (" + std::to_string(bytes.size()) + " bytes)";
    return text;
}

Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(seed + 7 * i);
    return bytes;
}

// The key on the token: AES as a card key at 63 nn, GOST 28147-89 as a body
// file 63 nn holding the parameter set (CryptoPro A) and the key.
abi::CK_RV createKey(test::TestHost& host, const CipherKey& key, abi::ObjectHandle& handle) {
    test::Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, key.keyType);
    tmpl.text(abi::CKA_LABEL, std::string("tour ") + key.title).bytes(abi::CKA_VALUE, key.value);
    if (key.keyType == abi::CKK_GOST28147) {
        tmpl.flag(abi::CKA_TOKEN, false);  // the token keeps GOST keys so marked
        tmpl.bytes(abi::CKA_GOST28147_PARAMS, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01});
    } else {
        tmpl.flag(abi::CKA_TOKEN, true);
    }
    abi::ObjectSummary summary{};
    return host.table()->createObject(host.contextPointer(), host.login(1, kUserPin), host.settings(), tmpl.data(),
                                      tmpl.size(), &handle, &summary);
}

// Slot 29 and slot 30: the whole message at once.
abi::CK_RV encrypt(test::TestHost& host, const CipherKey& key, const abi::ObjectHandle& handle, const Bytes& message,
                   Bytes& cipherText) {
    const abi::CK_MECHANISM mechanism{key.mechanism, const_cast<uint8_t*>(key.iv.data()), abi::CK_ULONG(key.iv.size())};
    abi::OperationRecord record{};
    const abi::CK_RV rv = host.table()->encryptInit(host.context(), nullptr, nullptr, &mechanism, &handle, &record);
    if (rv != abi::CKR_OK) return rv;
    cipherText.assign(message.size() + 16, 0);
    abi::CK_ULONG length = abi::CK_ULONG(cipherText.size());
    const abi::CK_RV done = host.table()->encrypt(host.context(), host.login(1, kUserPin), nullptr, message.data(),
                                                  abi::CK_ULONG(message.size()), cipherText.data(), &length, &handle,
                                                  &record, key.mechanism);
    cipherText.resize(done == abi::CKR_OK ? length : 0);
    return done;
}

// Slots 33, 35 and 36: the cipher text in pieces of 50 bytes, then the rest.
abi::CK_RV decryptInPieces(test::TestHost& host, const CipherKey& key, const abi::ObjectHandle& handle,
                           const Bytes& cipherText, Bytes& message) {
    const abi::CK_MECHANISM mechanism{key.mechanism, const_cast<uint8_t*>(key.iv.data()), abi::CK_ULONG(key.iv.size())};
    abi::OperationRecord record{};
    abi::CK_RV rv = host.table()->decryptInit(host.context(), nullptr, nullptr, &mechanism, &handle, &record);
    message.clear();
    Bytes piece(80);
    for (size_t offset = 0; rv == abi::CKR_OK && offset < cipherText.size(); offset += 50) {
        const size_t take = std::min<size_t>(50, cipherText.size() - offset);
        abi::CK_ULONG length = abi::CK_ULONG(piece.size());
        rv = host.table()->decryptUpdate(host.context(), host.login(1, kUserPin), nullptr, cipherText.data() + offset,
                                         abi::CK_ULONG(take), piece.data(), &length, &handle, &record, key.mechanism);
        if (rv == abi::CKR_OK) message.insert(message.end(), piece.begin(), piece.begin() + length);
    }
    if (rv != abi::CKR_OK) return rv;
    abi::CK_ULONG length = abi::CK_ULONG(piece.size());
    rv = host.table()->decryptFinal(host.context(), host.login(1, kUserPin), nullptr, piece.data(), &length, &handle,
                                    &record, key.mechanism);
    if (rv == abi::CKR_OK) message.insert(message.end(), piece.begin(), piece.begin() + length);
    return rv;
}

// What OpenSSL makes of the same message with the same key and IV: AES with
// its padding, GOST 28147-89 through the GOST engine the module loaded, as
// plain CFB (S-box set, no key meshing).
Bytes openSslCipher(const CipherKey& key, const Bytes& message) {
    const bool gost = key.keyType == abi::CKK_GOST28147;
    const EVP_CIPHER* cipher = gost ? EVP_get_cipherbyname("gost89") : EVP_aes_256_cbc();
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    Bytes out(message.size() + 16);
    int length = 0;
    int last = 0;
    if (cipher == nullptr || !context ||
        EVP_EncryptInit_ex(context.get(), cipher, nullptr, key.value.data(), key.iv.data()) != 1) {
        return {};
    }
    if (gost && (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_SET_SBOX, 0,
                                     const_cast<char*>("id-Gost28147-89-CryptoPro-A-ParamSet")) <= 0 ||
                 EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_KEY_MESH, 0, nullptr) <= 0)) {
        return {};
    }
    if (EVP_EncryptUpdate(context.get(), out.data(), &length, message.data(), int(message.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), out.data() + length, &last) != 1) {
        return {};
    }
    out.resize(size_t(length + last));
    return out;
}

void roundTrip(test::TestHost& host, const CipherKey& key, const Bytes& message) {
    std::cout << "  " << key.title << "\n";
    abi::ObjectHandle handle{};
    abi::CK_RV rv = createKey(host, key, handle);
    if (rv != abi::CKR_OK) {
        std::cout << "    key creation failed: 0x" << std::hex << rv << std::dec << "\n";
        return;
    }
    Bytes cipherText;
    Bytes back;
    rv = encrypt(host, key, handle, message, cipherText);
    std::cout << "    encrypted (slot 30):          " << (rv == abi::CKR_OK ? hexText(cipherText) : "failed") << "\n";
    if (rv == abi::CKR_OK) rv = decryptInPieces(host, key, handle, cipherText, back);
    std::cout << "    decrypted in pieces (35, 36): "
              << (rv == abi::CKR_OK && back == message ? "the message" : "wrong") << "\n";
    std::cout << "    OpenSSL agrees:               " << (openSslCipher(key, message) == cipherText ? "yes" : "no")
              << "\n";
    host.table()->destroyObject(host.context(), host.login(1, kUserPin), host.settings(), &handle);
}

}  // namespace

void showCiphers(test::TestHost& host) {
    const std::string text = "The KORVA token enciphers this message on the card and in software, then back again.";
    const Bytes message(text.begin(), text.end());
    std::cout << "  message: \"" << text << "\" (" << message.size() << " bytes)\n";
    roundTrip(host,
              {"AES-256, CKM_AES_CBC_PAD, on the card", abi::CKK_AES, abi::CKM_AES_CBC_PAD, pattern(32, 0x10),
               pattern(16, 0xA0)},
              message);
    roundTrip(host,
              {"GOST 28147-89, CKM_GOST28147 (CFB), CryptoPro A", abi::CKK_GOST28147, abi::CKM_GOST28147,
               pattern(32, 0x40), pattern(8, 0xC0)},
              message);
}

}  // namespace korva::tour
