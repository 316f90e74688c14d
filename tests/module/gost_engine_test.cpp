// Loading the module brings OpenSSL's GOST engine into the process, and
// unloading it leaves OpenSSL working for the rest of the process.
#include <korva/module.h>

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <dlfcn.h>

#include <array>
#include <memory>

#include "tests/module/loaded_module.h"

namespace korva::test {
namespace {

bool gostDigestAvailable() {
    return EVP_get_digestbyname("md_gost12_256") != nullptr;
}

bool gostEngineInstalled() {
    std::unique_ptr<ENGINE, decltype(&ENGINE_free)> engine(ENGINE_by_id("gost"), ENGINE_free);
    ERR_clear_error();
    return engine != nullptr;
}

bool sha256Works() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    const unsigned char data[3] = {'a', 'b', 'c'};
    return EVP_Digest(data, sizeof data, digest.data(), &length, EVP_sha256(), nullptr) == 1 &&
           length == 32;
}

TEST(GostEngine, IsInstalledAsDefaultWhenTheModuleLoads) {
    if (gostDigestAvailable()) {
        GTEST_SKIP() << "the GOST digests were available before the module was loaded";
    }
    LoadedModule module;
    if (!gostDigestAvailable()) {
        ASSERT_FALSE(gostEngineInstalled()) << "the engine exists but the module did not load it";
        GTEST_SKIP() << "no GOST engine on this machine";
    }
}

TEST(GostEngine, UnloadingTheModuleLeavesOpenSslUsable) {
    {
        LoadedModule module;
    }
    EXPECT_TRUE(sha256Works());
    {
        LoadedModule again;
        EXPECT_TRUE(sha256Works());
    }
    EXPECT_TRUE(sha256Works());
    if (gostEngineInstalled()) {
        EXPECT_TRUE(gostDigestAvailable());
    }
}

// A host may exit with the module still loaded: the module's release of the
// engine then runs during exit, and must come before OpenSSL tears itself
// down (the sanitizer build catches a use of OpenSSL's freed state).
TEST(GostEngine, ProcessExitsWithTheModuleStillLoaded) {
    void* handle = dlopen(KORVA_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_TRUE(sha256Works());
    // Deliberately never closed.
}

}  // namespace
}  // namespace korva::test
