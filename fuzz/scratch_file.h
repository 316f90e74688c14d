// A file for the harnesses that hand the virtual card a path: in memory-backed
// storage when there is some, named after the process, and removed when the
// fuzzer exits.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

class ScratchFile final {
public:
    explicit ScratchFile(const std::string& name)
        : path_(folder() / ("korva-fuzz-" + name + "-" + std::to_string(::getpid()))) {}
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    static std::filesystem::path folder() {
        std::error_code error;
        return std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                                : std::filesystem::temp_directory_path();
    }

    std::filesystem::path path_;
};
