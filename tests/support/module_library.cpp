#include "tests/support/module_library.h"

#include <dlfcn.h>

#include <stdexcept>

#ifndef KORVA_MODULE_PATH
#error "KORVA_MODULE_PATH must name the built module file"
#endif

namespace korva::test {

ModuleLibrary::ModuleLibrary(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("cannot load the module: ") + dlerror());
    getFunctionList_ = reinterpret_cast<GetFunctionListFn>(dlsym(handle_, "GetFunctionList"));
    if (getFunctionList_ == nullptr) {
        dlclose(handle_);
        throw std::runtime_error("the module exports no GetFunctionList");
    }
    table_ = getFunctionList_();
    if (table_ == nullptr) {
        dlclose(handle_);
        throw std::runtime_error("GetFunctionList returned no table");
    }
}

ModuleLibrary::~ModuleLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

ModuleLibrary& ModuleLibrary::built() {
    // Loaded once per process: reloading the module (and the GOST engine it
    // sets up) for every test would only cost time. Unloaded at exit, before
    // OpenSSL's own exit handler runs (exit handlers run in reverse order of
    // registration, and OpenSSL registered its handler before this object
    // existed), as a host that finalises the module does.
    static ModuleLibrary library(builtPath());
    return library;
}

const char* ModuleLibrary::builtPath() { return KORVA_MODULE_PATH; }

const abi::ModuleFunctionTable* ModuleLibrary::getFunctionList() const { return getFunctionList_(); }

void* ModuleLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace korva::test
