// The built token module, loaded the way a host loads it: dlopen, then
// GetFunctionList, then slots through the table only.
#pragma once

#include <korva/module.h>

#include <string>

namespace korva::test {

class ModuleLibrary final {
public:
    // Loads the module file; throws std::runtime_error with dlerror's text.
    explicit ModuleLibrary(const std::string& path);
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    // The module this build produced, loaded once per process and kept.
    static ModuleLibrary& built();
    static const char* builtPath();

    const abi::ModuleFunctionTable* table() const { return table_; }
    // Calls the exported GetFunctionList again.
    const abi::ModuleFunctionTable* getFunctionList() const;
    // Looks up any exported symbol (to prove that only one is exported).
    void* symbol(const char* name) const;

private:
    void* handle_ = nullptr;
    using GetFunctionListFn = const abi::ModuleFunctionTable* (*)();
    GetFunctionListFn getFunctionList_ = nullptr;
    const abi::ModuleFunctionTable* table_ = nullptr;
};

}  // namespace korva::test
