// The token module, loaded the way every host loads it: dlopen of
// libkorva-token.so, then its one export GetFunctionList.
//
// The module is looked for in $KORVA_TOKEN_MODULE, then beside this library
// (where `cmake --install` puts both), then in the folder it was built in.
// It stays loaded until the process ends: unloading would tear down the
// cryptographic engine the module set up, which other code of the process
// may share.
#pragma once

#include "host/pkcs11_api.h"

namespace korva::host {

// The module's slot table, or null when no module could be loaded.
const abi::ModuleFunctionTable* loadModule();

}  // namespace korva::host
