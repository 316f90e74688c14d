// Start-up and shutdown of the cryptographic library, run when the module is
// loaded into and unloaded from a process.
//
// OpenSSL initialises its own algorithm tables on first use, so all that is
// left to do at load time is to bring in the GOST engine (a dynamic engine,
// found by id in OpenSSL's engines directory) and make it the default for
// every method, so that the GOST digests and ciphers are found by name. A
// missing engine is not an error: the module loads, and the operations that
// need GOST software algorithms fail on their own.
//
// At unload the module drops exactly the references it took. It never calls
// OPENSSL_cleanup: the library belongs to the whole process, and the host
// (or anything else in it) may go on using OpenSSL after we are gone. The
// engine stays registered as the process default; its own code lives in the
// engine library, which OpenSSL keeps loaded, so nothing points into this
// module after it is unloaded. Loading the module again (dlclose, then
// dlopen) finds the engine again and takes fresh references.

// The ENGINE interface is deprecated in OpenSSL 3 but is the only way to
// reach the GOST engine; CMake compiles this file alone with deprecation
// warnings silenced.
#include <openssl/engine.h>
#include <openssl/err.h>

#include <cstdlib>

namespace {

constexpr const char* kGostEngineId = "gost";

// The engine as loaded at start-up: a structural reference from
// ENGINE_by_id plus a functional one from ENGINE_init. Null when absent.
ENGINE* loadedEngine = nullptr;

void releaseCryptoEngine();

__attribute__((constructor)) void loadCryptoEngine() {
    // A failed look-up leaves errors on the thread's queue; they are ours,
    // not the host's, so put the queue back as it was.
    ERR_set_mark();
    ENGINE* engine = ENGINE_by_id(kGostEngineId);
    if (engine == nullptr) {
        ERR_pop_to_mark();
        return;
    }
    if (ENGINE_init(engine) != 1) {
        ENGINE_free(engine);
        ERR_pop_to_mark();
        return;
    }
    if (ENGINE_set_default(engine, ENGINE_METHOD_ALL) != 1) {
        ERR_pop_to_mark();
    } else {
        ERR_clear_last_mark();
    }
    loadedEngine = engine;
    // The release is registered here rather than as a destructor: OpenSSL
    // tears itself down from an exit handler registered when it was first
    // initialised (at the latest by the calls above), and handlers run in
    // reverse order, so ours runs before that, at exit as at unload. A
    // destructor would run after it and touch freed locks.
    std::atexit(releaseCryptoEngine);
}

void releaseCryptoEngine() {
    if (loadedEngine == nullptr) {
        return;
    }
    ENGINE_finish(loadedEngine);
    ENGINE_free(loadedEngine);
    loadedEngine = nullptr;
}

}  // namespace
