// The built module file, opened with dlopen as a host opens it, and closed
// again when the object goes out of scope.
#pragma once

#include <korva/module.h>

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace korva::test {

class LoadedModule final {
public:
    explicit LoadedModule(const char* path = KORVA_MODULE_FILE) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) {
            throw std::runtime_error(std::string("dlopen: ") + dlerror());
        }
        getFunctionList_ = reinterpret_cast<abi::GetFunctionListFunction>(dlsym(handle_, "GetFunctionList"));
        if (getFunctionList_ == nullptr) {
            dlclose(handle_);
            throw std::runtime_error("the module does not export GetFunctionList");
        }
    }
    ~LoadedModule() { dlclose(handle_); }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    const abi::ModuleFunctionTable* getFunctionList() const { return getFunctionList_(); }
    void* symbol(const char* name) const { return dlsym(handle_, name); }

private:
    void* handle_;
    abi::GetFunctionListFunction getFunctionList_ = nullptr;
};

}  // namespace korva::test
