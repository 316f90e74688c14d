// PINs and passwords: read from the terminal without echo, from a file or
// from an environment variable, never required on the command line.
#pragma once

#include <string>

namespace korva::tool {

// A string overwritten with zeros before it is released.
class Secret final {
public:
    Secret() = default;
    explicit Secret(std::string value) : value_(std::move(value)) {}
    ~Secret();
    Secret(Secret&& other) noexcept : value_(std::move(other.value_)) { other.value_.clear(); }
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    const std::string& get() const { return value_; }

private:
    std::string value_;
};

// Asks on the controlling terminal with echo off; fails (ExitCode::Pin) when
// there is no terminal, naming the options that give the secret otherwise.
Secret askTerminal(const std::string& prompt, const std::string& alternatives);
// The file's first line, without its line end.
Secret readSecretFile(const std::string& path);
// The value of an environment variable; fails when it is not set.
Secret readSecretVariable(const std::string& name);

}  // namespace korva::tool
