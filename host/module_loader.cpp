#include "host/module_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace korva::host {
namespace {

constexpr const char* kModuleFile = "libkorva-token.so";

std::string folderOfThisLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&loadModule), &info) == 0 || info.dli_fname == nullptr) return {};
    return std::filesystem::path(info.dli_fname).parent_path().string();
}

std::vector<std::string> candidates() {
    std::vector<std::string> paths;
    if (const char* named = std::getenv("KORVA_TOKEN_MODULE"); named != nullptr && *named != '\0')
        paths.emplace_back(named);
    if (const std::string folder = folderOfThisLibrary(); !folder.empty()) paths.push_back(folder + "/" + kModuleFile);
#ifdef KORVA_BUILT_MODULE_PATH
    paths.emplace_back(KORVA_BUILT_MODULE_PATH);
#endif
    return paths;
}

const abi::ModuleFunctionTable* loadOnce() {
    for (const std::string& path : candidates()) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) continue;
        auto getFunctionList = reinterpret_cast<abi::GetFunctionListFunction>(dlsym(handle, "GetFunctionList"));
        const abi::ModuleFunctionTable* table = getFunctionList != nullptr ? getFunctionList() : nullptr;
        if (table != nullptr) return table;
        dlclose(handle);
    }
    return nullptr;
}

}  // namespace

const abi::ModuleFunctionTable* loadModule() {
    static std::mutex mutex;
    static const abi::ModuleFunctionTable* table = nullptr;
    std::lock_guard lock(mutex);
    if (table == nullptr) table = loadOnce();
    return table;
}

}  // namespace korva::host
