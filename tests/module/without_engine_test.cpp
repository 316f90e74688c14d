// Run with OPENSSL_ENGINES naming an empty folder: the GOST engine cannot be
// found, and the module must load and answer all the same.
#include <korva/module.h>

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/err.h>

#include "tests/module/loaded_module.h"

namespace korva::test {
namespace {

TEST(WithoutGostEngine, TheModuleLoadsAndAnswers) {
    ENGINE* engine = ENGINE_by_id("gost");
    if (engine != nullptr) {
        ENGINE_free(engine);
        GTEST_SKIP() << "the GOST engine is still reachable; the environment did not hide it";
    }
    ERR_clear_error();

    LoadedModule module;
    const abi::ModuleFunctionTable* table = module.getFunctionList();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->noOperation(abi::HostContext{}), abi::CKR_OK);
    // The failed look-up is the module's business, not the host's: it must
    // not leave errors on the thread's OpenSSL error queue.
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST(WithoutGostEngine, TheModuleReloads) {
    for (int round = 0; round < 2; ++round) {
        LoadedModule module;
        EXPECT_EQ(module.getFunctionList()->noOperation(abi::HostContext{}), abi::CKR_OK);
    }
}

}  // namespace
}  // namespace korva::test
