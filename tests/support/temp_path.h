// A unique path in the temporary folder, removed (with anything written to
// it) when the value goes out of scope. Test processes run in parallel.
// Header-only and free of GoogleTest: the fuzz targets use it too, asking
// for memory-backed storage because they write a card file per input.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace korva::test {

class TempPath final {
public:
    enum class Storage { temporaryFolder, memoryWhereAvailable };

    explicit TempPath(const std::string& stem = "korva", Storage storage = Storage::temporaryFolder) {
        static std::atomic<unsigned> counter{0};
        path_ = folder(storage) / (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
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
    static std::filesystem::path folder(Storage storage) {
        std::error_code error;
        if (storage == Storage::memoryWhereAvailable && std::filesystem::is_directory("/dev/shm", error))
            return "/dev/shm";
        return std::filesystem::temp_directory_path();
    }

    std::filesystem::path path_;
};

}  // namespace korva::test
