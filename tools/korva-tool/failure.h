// What can go wrong in the tool, by kind: each kind has its own exit code, so
// that a script can tell a refused signature from a wrong PIN or a missing
// file without reading the message.
#pragma once

#include <stdexcept>
#include <string>

namespace korva::tool {

enum class ExitCode : int {
    Ok = 0,
    Refused = 1,   // verify: the signature, the content or the signer is not good
    Usage = 2,     // the command line (or a subject or extension text) is wrong
    File = 3,      // a file cannot be read or written, or holds no usable data
    Library = 4,   // the PKCS#11 library cannot be loaded, or no such slot or token
    Token = 5,     // the token refused or failed an operation
    Pin = 6,       // wrong, locked or missing PIN or password
    CardFile = 7,  // card check: the card file's object store is damaged
};

// The standard's name of a return value ("CKR_PIN_INCORRECT"), the token's own
// names for its vendor values, else the number in hexadecimal.
std::string rvName(unsigned long rv);

class Failure final : public std::runtime_error {
public:
    Failure(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

// A failed PKCS#11 call: "<what>: <CKR_NAME>", with the exit code its value
// calls for (PIN and password values give ExitCode::Pin).
[[noreturn]] void failCall(const std::string& what, unsigned long rv);
// Throws failCall's Failure unless rv is CKR_OK.
void check(const std::string& what, unsigned long rv);

}  // namespace korva::tool
