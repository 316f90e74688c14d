// For test programs that check the module's and the card's results with
// OpenSSL's GOST engine on their own (GOST keys decoded from DER, signatures
// verified, digests by name): the program, as a host may, makes the engine
// its process-wide default at start and keeps it until exit. The module and
// the virtual card never rely on this; they pass the engine explicitly.
#include <openssl/engine.h>
#include <openssl/err.h>

#include <cstdlib>

namespace {

ENGINE* defaultEngine = nullptr;

void releaseDefaultEngine() {
    ENGINE_finish(defaultEngine);
    ENGINE_free(defaultEngine);
}

__attribute__((constructor)) void makeGostEngineTheDefault() {
    ENGINE* engine = ENGINE_by_id("gost");
    if (engine == nullptr || ENGINE_init(engine) != 1) {
        if (engine != nullptr) ENGINE_free(engine);
        ERR_clear_error();
        return;  // the tests that need it skip or fail on their own
    }
    ENGINE_set_default(engine, ENGINE_METHOD_ALL);
    defaultEngine = engine;
    // Registered after OpenSSL's own exit handler: runs before it.
    std::atexit(releaseDefaultEngine);
}

}  // namespace
