// A host that uses OpenSSL itself loads the module. The module brings in
// OpenSSL's GOST engine for its own operations only: the host's results
// (SHA-256, AES, RSA and, when it has one, its own GOST digest) are the same
// before, while and after the module is loaded, no engine becomes a default,
// and unloading the module leaves OpenSSL's tables as it found them.
#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include "common/openssl_ptr.h"

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/crypto.h>
#include <openssl/rsa.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/module/loaded_module.h"

namespace korva::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kMessage{'a', 'b', 'c'};
// GOST R 34.11-2012 (256 bits) of "abc".
const Bytes kGost2012OfAbc{0x4e, 0x29, 0x19, 0xcf, 0x13, 0x7e, 0xd4, 0x1e, 0xc4, 0xfb, 0x62,
                           0x70, 0xc6, 0x18, 0x26, 0xcc, 0x4f, 0xff, 0xb6, 0x60, 0x34, 0x1e,
                           0x0a, 0xf3, 0x68, 0x8c, 0xd0, 0x62, 0x6d, 0x23, 0xb4, 0x81};

bool gostEngineListed() {
    for (ENGINE* engine = ENGINE_get_first(); engine != nullptr; engine = ENGINE_get_next(engine)) {
        if (std::strcmp(ENGINE_get_id(engine), "gost") == 0) {
            ENGINE_free(engine);
            return true;
        }
    }
    return false;
}

// Looked for as a file: loading the engine to find out would list it.
bool gostEngineInstalled() {
    const char* folder = std::getenv("OPENSSL_ENGINES");
    std::string path = folder != nullptr ? folder : "";
    if (path.empty()) {
        // ENGINESDIR: "/usr/lib/x86_64-linux-gnu/engines-3"
        const std::string text = OpenSSL_version(OPENSSL_ENGINES_DIR);
        const auto open = text.find('"'), close = text.rfind('"');
        if (open == std::string::npos || close <= open) return false;
        path = text.substr(open + 1, close - open - 1);
    }
    return std::filesystem::exists(std::filesystem::path(path) / "gost.so");
}

// What the host sees of OpenSSL's process-wide tables.
struct OpenSslTables {
    bool gostListed = false;
    bool gostDigestByName = false;
    bool gostDigestEngine = false;
    bool gostKeyEngine = false;
    bool anyDefault = false;  // an engine behind SHA-256, AES or RSA

    bool operator==(const OpenSslTables&) const = default;

    static OpenSslTables read() {
        OpenSslTables tables;
        tables.gostListed = gostEngineListed();
        tables.gostDigestByName = EVP_get_digestbyname("md_gost12_256") != nullptr;
        tables.gostDigestEngine = holds(ENGINE_get_digest_engine(NID_id_GostR3411_2012_256));
        tables.gostKeyEngine = holds(ENGINE_get_pkey_meth_engine(NID_id_GostR3410_2012_256));
        tables.anyDefault = holds(ENGINE_get_digest_engine(NID_sha256)) ||
                            holds(ENGINE_get_cipher_engine(NID_aes_128_cbc)) || holds(ENGINE_get_default_RSA());
        ERR_clear_error();
        return tables;
    }

private:
    static bool holds(ENGINE* engine) {
        if (engine == nullptr) return false;
        ENGINE_finish(engine);
        return true;
    }
};

// The host's own cryptography, with its own RSA key and, when asked, its
// own reference to the GOST engine.
class HostCrypto {
public:
    struct Results {
        Bytes sha256, aes, rsa, gost;
        bool operator==(const Results&) const = default;
    };

    explicit HostCrypto(bool ownGostEngine) : rsaKey_(EVP_RSA_gen(1024)) {
        if (ownGostEngine) {
            gost_ = ENGINE_by_id("gost");
            if (gost_ != nullptr && ENGINE_init(gost_) != 1) {
                ENGINE_free(gost_);
                gost_ = nullptr;
            }
        }
    }
    ~HostCrypto() {
        if (gost_ == nullptr) return;
        ENGINE_finish(gost_);
        ENGINE_free(gost_);
    }
    HostCrypto(const HostCrypto&) = delete;
    HostCrypto& operator=(const HostCrypto&) = delete;

    bool hasGost() const { return gost_ != nullptr; }

    Results compute() const {
        Results out;
        out.sha256 = digest(EVP_sha256(), nullptr);
        if (gost_ != nullptr) out.gost = digest(ENGINE_get_digest(gost_, NID_id_GostR3411_2012_256), gost_);
        out.aes = aes();
        out.rsa = rsaSignature();
        return out;
    }

private:
    static Bytes digest(const EVP_MD* md, ENGINE* engine) {
        Bytes out(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        if (md == nullptr || EVP_Digest(kMessage.data(), kMessage.size(), out.data(), &length, md, engine) != 1) {
            return {};
        }
        out.resize(length);
        return out;
    }

    static Bytes aes() {
        const Bytes key(16, 0x2B), iv(16, 0x01);
        const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
        Bytes out(kMessage.size() + 16);
        int length = 0, last = 0;
        if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) != 1 ||
            EVP_EncryptUpdate(context.get(), out.data(), &length, kMessage.data(), int(kMessage.size())) != 1 ||
            EVP_EncryptFinal_ex(context.get(), out.data() + length, &last) != 1) {
            return {};
        }
        out.resize(std::size_t(length + last));
        return out;
    }

    // PKCS#1 v1.5 signatures are deterministic: the same key signs the same
    // bytes every time.
    Bytes rsaSignature() const {
        const EvpMdCtxPtr context(EVP_MD_CTX_new());
        std::size_t length = 0;
        if (!rsaKey_ || !context ||
            EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, rsaKey_.get()) != 1 ||
            EVP_DigestSign(context.get(), nullptr, &length, kMessage.data(), kMessage.size()) != 1) {
            return {};
        }
        Bytes out(length);
        if (EVP_DigestSign(context.get(), out.data(), &length, kMessage.data(), kMessage.size()) != 1) return {};
        out.resize(length);
        return out;
    }

    EvpPkeyPtr rsaKey_;
    ENGINE* gost_ = nullptr;
};

// GOST R 34.11-2012 of "abc" through the module's digest slot, which hashes
// in software without the card.
Bytes moduleGostDigest(const LoadedModule& module) {
    abi::OperationRecord state{};
    Bytes out(32);
    abi::CK_ULONG length = out.size();
    const abi::CK_RV rv =
        module.getFunctionList()->digest(abi::HostContext{}, nullptr, nullptr, kMessage.data(), kMessage.size(),
                                         out.data(), &length, &state, abi::CKM_GOSTR3411_12_256);
    return rv == abi::CKR_OK ? out : Bytes{};
}

void expectHostUnchangedByTheModule(const HostCrypto& host) {
    const OpenSslTables tablesBefore = OpenSslTables::read();
    const HostCrypto::Results before = host.compute();
    ASSERT_FALSE(before.sha256.empty() || before.aes.empty() || before.rsa.empty());
    EXPECT_EQ(before.gost.empty(), !host.hasGost());
    {
        const LoadedModule module;
        EXPECT_EQ(moduleGostDigest(module), kGost2012OfAbc);
        EXPECT_EQ(host.compute(), before) << "while the module is loaded";
        EXPECT_FALSE(OpenSslTables::read().anyDefault);
        EXPECT_EQ(ERR_peek_error(), 0ul);
    }
    EXPECT_EQ(host.compute(), before) << "after the module was unloaded";
    EXPECT_EQ(OpenSslTables::read(), tablesBefore);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST(GostEngine, HostWithoutGostOfItsOwnIsLeftAsItWas) {
    if (!gostEngineInstalled()) GTEST_SKIP() << "no GOST engine on this machine";
    ASSERT_FALSE(gostEngineListed()) << "something in this process loaded the engine before the test";
    const HostCrypto host(false);
    expectHostUnchangedByTheModule(host);
    // Twice: the engine comes and goes with the module.
    expectHostUnchangedByTheModule(host);
}

TEST(GostEngine, HostWithItsOwnGostEngineKeepsIt) {
    if (!gostEngineInstalled()) GTEST_SKIP() << "no GOST engine on this machine";
    const HostCrypto host(true);
    ASSERT_TRUE(host.hasGost());
    EXPECT_EQ(host.compute().gost, kGost2012OfAbc);
    expectHostUnchangedByTheModule(host);
}

// A host may exit with the module still loaded: the module's release of the
// engine then runs during exit, and must come before OpenSSL tears itself
// down (the sanitizer build catches a use of OpenSSL's freed state).
TEST(GostEngine, ProcessExitsWithTheModuleStillLoaded) {
    void* handle = dlopen(KORVA_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const HostCrypto host(false);
    EXPECT_FALSE(host.compute().sha256.empty());
    // Deliberately never closed.
}

}  // namespace
}  // namespace korva::test
