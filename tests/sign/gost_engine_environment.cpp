// Installs the GOST engine as OpenSSL's default for the whole test program,
// as the module does when it is loaded, so that digests and keys are found
// by name. The ENGINE interface is deprecated in OpenSSL 3 but is the one the
// engine offers.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/engine.h>

#include <gtest/gtest.h>

namespace {

class GostEngineEnvironment final : public testing::Environment {
public:
    void SetUp() override {
        engine_ = ENGINE_by_id("gost");
        ASSERT_NE(engine_, nullptr) << "the GOST engine is not installed";
        ASSERT_EQ(ENGINE_init(engine_), 1);
        ASSERT_EQ(ENGINE_set_default(engine_, ENGINE_METHOD_ALL), 1);
    }
    void TearDown() override {
        if (engine_ == nullptr) return;
        ENGINE_finish(engine_);
        ENGINE_free(engine_);
        engine_ = nullptr;
    }

private:
    ENGINE* engine_ = nullptr;
};

[[maybe_unused]] testing::Environment* const kEnvironment =
    testing::AddGlobalTestEnvironment(new GostEngineEnvironment);

}  // namespace
