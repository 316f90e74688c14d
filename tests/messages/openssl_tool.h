// The openssl command line as the outside judge of what the module makes:
// files in a scratch folder, commands run with their output captured.
#pragma once

#include "tests/support/temp_path.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace korva::test {

struct ToolResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

class OpenSslTool final {
public:
    OpenSslTool() { std::filesystem::create_directories(folder_.path()); }

    std::filesystem::path file(const std::string& name) const { return folder_.path() / name; }

    std::filesystem::path write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const auto path = file(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    }

    std::vector<uint8_t> read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // `arguments` follow "openssl"; they run in the scratch folder. The
    // command line is always the machine's own: a 32-bit test program
    // points OPENSSL_ENGINES at 32-bit engines, which it must not inherit.
    ToolResult run(const std::string& arguments) const {
        const std::string command =
            "cd '" + folder_.path().string() + "' && env -u OPENSSL_ENGINES openssl " + arguments + " 2>&1";
        ToolResult result;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return result;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
        const int status = ::pclose(pipe);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

private:
    TempPath folder_{"korva-messages"};
};

}  // namespace korva::test
