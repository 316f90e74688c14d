#include "host/config.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace korva::host {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::filesystem::path homeFolder() {
    std::string home = environment("HOME");
    if (home.empty()) {
        const passwd* entry = getpwuid(getuid());
        if (entry != nullptr && entry->pw_dir != nullptr) home = entry->pw_dir;
    }
    return home.empty() ? std::filesystem::path("/tmp") : std::filesystem::path(home);
}

// $XDG_<kind>_HOME, or the standard folder under the home folder.
std::filesystem::path userFolder(const char* variable, const char* fallback) {
    const std::string value = environment(variable);
    if (!value.empty() && value.front() == '/') return value;
    return homeFolder() / fallback;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::filesystem::path resolved(const std::string& path, const std::filesystem::path& folder) {
    if (path.rfind("~/", 0) == 0) return homeFolder() / path.substr(2);
    const std::filesystem::path given(path);
    return given.is_absolute() ? given : folder / given;
}

std::vector<std::filesystem::path> splitList(const std::string& list) {
    std::vector<std::filesystem::path> files;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        const std::string item = trimmed(list.substr(start, end - start));
        if (!item.empty()) files.push_back(resolved(item, std::filesystem::current_path()));
        start = end + 1;
    }
    return files;
}

ReaderKinds readerKindsNamed(const std::string& name) {
    if (name == "virtual") return {true, false};
    if (name == "pcsc") return {false, true};
    return {};
}

std::filesystem::path configurationFile() {
    std::filesystem::path config = environment("KORVA_PKCS11_CONFIG");
    if (config.empty()) config = userFolder("XDG_CONFIG_HOME", ".config") / "korva" / "pkcs11.conf";
    return config;
}

// The value of `key = value` lines, the last one winning.
std::string settingOf(std::istream& text, const std::string& key) {
    std::string line, value;
    while (std::getline(text, line)) {
        line = trimmed(line.substr(0, line.find('#')));
        const auto equals = line.find('=');
        if (equals != std::string::npos && trimmed(line.substr(0, equals)) == key)
            value = trimmed(line.substr(equals + 1));
    }
    return value;
}

}  // namespace

ReaderKinds parseReaderKinds(std::istream& text) { return readerKindsNamed(settingOf(text, "readers")); }

ReaderKinds configuredReaderKinds() {
    const std::string named = environment("KORVA_READERS");
    if (!named.empty()) return readerKindsNamed(trimmed(named));
    std::ifstream text(configurationFile());
    return text ? parseReaderKinds(text) : ReaderKinds{};
}

std::vector<std::filesystem::path> parseCardConfiguration(std::istream& text, const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::string line;
    while (std::getline(text, line)) {
        line = trimmed(line.substr(0, line.find('#')));
        const auto equals = line.find('=');
        if (equals == std::string::npos || trimmed(line.substr(0, equals)) != "card") continue;
        const std::string path = trimmed(line.substr(equals + 1));
        if (!path.empty()) files.push_back(resolved(path, folder));
    }
    return files;
}

std::vector<std::filesystem::path> configuredCardFiles() {
    std::vector<std::filesystem::path> files = splitList(environment("KORVA_CARDS"));
    if (!files.empty()) return files;

    const std::filesystem::path config = configurationFile();
    std::ifstream text(config);
    if (text) files = parseCardConfiguration(text, config.parent_path());
    if (!files.empty()) return files;

    return {userFolder("XDG_DATA_HOME", ".local/share") / "korva" / "token.card"};
}

}  // namespace korva::host
