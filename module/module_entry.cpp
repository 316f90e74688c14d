// The shared module's only export. Everything else is linked in from the
// module's static libraries and stays hidden.
#include <korva/module.h>

#include "module/function_table.h"

extern "C" KORVA_EXPORT const korva::abi::ModuleFunctionTable* GetFunctionList(void) { return &korva::functionTable(); }
