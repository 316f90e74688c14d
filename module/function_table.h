// Access to the module's slot table from inside the module and its tests;
// the host reaches it through GetFunctionList.
#pragma once

#include <korva/module.h>

namespace korva {

// The one read-only table; the same object on every call.
const abi::ModuleFunctionTable& functionTable() noexcept;

}  // namespace korva
