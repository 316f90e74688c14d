#include "session/credential.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace korva::token {

namespace {

constexpr int kIterations = 4096;
constexpr uint8_t kSaltTweak = 0x04;

}  // namespace

Credential::~Credential() { OPENSSL_cleanse(bytes.data(), bytes.size()); }

bool deriveCredential(const PinBlock& soPin, Credential& out) noexcept {
    // The salt constant is shared by every module and every card of the
    // token family: a card initialised by one module must accept the
    // credential computed by another. It is not a secret in the strong
    // sense, but it is kept out of the image as a ready-made table: the bytes
    // are put together here on the stack, one at a time, and wiped with the
    // salt before returning, so no copy outlives the derivation.
    std::array<uint8_t, kPinBlockSize> saltConstant;
    saltConstant[0] = 0x3A;
    saltConstant[1] = 0xC5;
    saltConstant[2] = 0x17;
    saltConstant[3] = 0x9E;
    saltConstant[4] = 0x62;
    saltConstant[5] = 0xD0;
    saltConstant[6] = 0x4B;
    saltConstant[7] = 0xF8;

    const auto pin = soPin.bytes();
    std::array<uint8_t, kPinBlockSize> salt;
    for (std::size_t i = 0; i < salt.size(); ++i) {
        salt[i] = static_cast<uint8_t>(~pin[i] ^ saltConstant[i] ^ kSaltTweak);
    }
    const int ok = PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(pin.data()), static_cast<int>(pin.size()),
                                          salt.data(), static_cast<int>(salt.size()), kIterations,
                                          static_cast<int>(out.bytes.size()), out.bytes.data());
    OPENSSL_cleanse(saltConstant.data(), saltConstant.size());
    OPENSSL_cleanse(salt.data(), salt.size());
    if (ok != 1) {
        OPENSSL_cleanse(out.bytes.data(), out.bytes.size());
        return false;
    }
    return true;
}

}  // namespace korva::token
