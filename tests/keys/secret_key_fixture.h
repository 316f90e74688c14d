// What the secret-key and import tests share: the cipher tests' fixture (an
// initialised token, the cipher slots, OpenSSL as the reference), slot 19
// in short form, and the key material the virtual card holds for a key
// object, read from its own state.
#pragma once

#include "tests/ciphers/cipher_fixture.h"

#include <korva/module.h>

#include <string>

namespace korva::test {

class SecretKeyTest : public CipherTest {
protected:
    struct NewKey {
        abi::CK_RV rv = 0xFFFFFFFF;
        abi::ObjectHandle handle{};
        abi::ObjectSummary summary{};
    };

    NewKey generate(uint32_t mechanismType, Template& tmpl) {
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        NewKey key;
        key.rv = slots().generateKey(host->context(), user(), host->settings(), tmpl.data(), tmpl.size(), &mechanism,
                                     &key.handle, &key.summary);
        return key;
    }

    // The secret a key file of the application subdirectory holds on the
    // virtual card (its last `length` bytes: the card keeps a header in
    // front of a loaded secret key).
    Bytes cardSecret(uint16_t fileId, size_t length) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        const std::string name = {kDigits[fileId >> 12], kDigits[(fileId >> 8) & 15], kDigits[(fileId >> 4) & 15],
                                  kDigits[fileId & 15], ' '};
        const std::string tree = host->card().dumpTree();
        size_t at = 0;
        while ((at = tree.find(name, at)) != std::string::npos) {
            const size_t lineEnd = tree.find('\n', at);
            const size_t secret = tree.find("secret=", at);
            if (secret != std::string::npos && secret < lineEnd) {
                const Bytes bytes = fromHex(tree.substr(secret + 7, lineEnd - secret - 7));
                return bytes.size() >= length ? Bytes(bytes.end() - std::ptrdiff_t(length), bytes.end()) : Bytes{};
            }
            at = lineEnd;
        }
        return {};
    }

    // The body of a transparent file of the application subdirectory, as
    // the card's own state shows it.
    Bytes cardBody(uint16_t fileId) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        const std::string name = {kDigits[fileId >> 12], kDigits[(fileId >> 8) & 15], kDigits[(fileId >> 4) & 15],
                                  kDigits[fileId & 15], ' '};
        const std::string tree = host->card().dumpTree();
        const size_t at = tree.find(name);
        if (at == std::string::npos) return {};
        const size_t body = tree.find("body=", at);
        if (body == std::string::npos) return {};
        return fromHex(tree.substr(body + 5, tree.find('\n', body) - body - 5));
    }
};

}  // namespace korva::test
