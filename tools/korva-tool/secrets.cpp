#include "tools/korva-tool/secrets.h"

#include "tools/korva-tool/failure.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace korva::tool {
namespace {

void wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// Echo off for as long as it lives, restored whatever happens.
class QuietTerminal final {
public:
    explicit QuietTerminal(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~QuietTerminal() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    QuietTerminal(const QuietTerminal&) = delete;
    QuietTerminal& operator=(const QuietTerminal&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace

Secret::~Secret() { wipe(value_); }

Secret& Secret::operator=(Secret&& other) noexcept {
    wipe(value_);
    value_ = std::move(other.value_);
    other.value_.clear();
    return *this;
}

Secret askTerminal(const std::string& prompt, const std::string& alternatives) {
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw Failure(ExitCode::Pin, "no terminal to ask for the " + prompt + "; give it with " + alternatives);
    std::string text;
    {
        const std::string question = "Enter " + prompt + ": ";
        [[maybe_unused]] const auto written = write(fd, question.data(), question.size());
        QuietTerminal quiet(fd);
        char c = 0;
        while (read(fd, &c, 1) == 1 && c != '\n') text.push_back(c);
        c = 0;
    }
    close(fd);
    return Secret(withoutLineEnd(std::move(text)));
}

Secret readSecretFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw Failure(ExitCode::File, "cannot read " + path);
    std::string line;
    std::getline(file, line);
    Secret secret(withoutLineEnd(line));
    wipe(line);
    return secret;
}

Secret readSecretVariable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) throw Failure(ExitCode::Pin, "the environment variable " + name + " is not set");
    return Secret(value);
}

}  // namespace korva::tool
