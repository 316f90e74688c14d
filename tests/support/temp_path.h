// A unique path in the temporary folder, removed (with anything written to
// it) when the value goes out of scope. Test processes run in parallel.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace korva::test {

class TempPath final {
public:
    explicit TempPath(const std::string& stem = "korva") {
        static std::atomic<unsigned> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    }
    ~TempPath() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    const std::filesystem::path& path() const { return path_; }
    operator const std::filesystem::path&() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace korva::test
