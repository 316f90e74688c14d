// Start-up of the cryptographic library, run when the module is loaded into
// a process.
//
// OpenSSL initialises its own algorithm tables on first use, so all that is
// left to do at load time is to bring in the GOST engine. It is loaded for
// the module's own operations only and never made a default: every GOST
// digest, cipher and key operation of the module names the engine
// explicitly (common/gost_engine.h), and the host's own OpenSSL answers as
// it did before the module came. A missing engine is not an error: the
// module loads, and the operations that need GOST software algorithms fail
// on their own.
//
// The engine is released when the module is unloaded, or at exit if the
// host never unloads it, before OpenSSL tears itself down. The module never
// calls OPENSSL_cleanup: the library belongs to the whole process.
#include "common/gost_engine.h"

namespace {

__attribute__((constructor)) void loadCryptoEngine() { (void)korva::gost::engine(); }

}  // namespace
