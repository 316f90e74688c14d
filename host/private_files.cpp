#include "host/private_files.h"

#include "sim/internal/card_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <exception>

namespace korva::host {

bool makePrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : folder) {
        made /= part;
        if (mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool replacePrivateFile(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
    try {
        // The card file's writer does exactly this; it reports a failed step
        // by throwing.
        sim::writeCardFile(file, bytes);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace korva::host
