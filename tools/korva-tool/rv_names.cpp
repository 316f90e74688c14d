// Every failure the tool reports names the code the library gave, by the
// public table of the standard's return values and the token's own.
#include "tools/korva-tool/failure.h"

#include "tools/korva-tool/pkcs11.h"

#include <korva/rv_names.h>

#include <cstdio>

namespace korva::tool {

std::string rvName(unsigned long rv) {
    if (const char* name = korva_rv_name(rv)) return name;
    char text[32];
    std::snprintf(text, sizeof text, "0x%08lX", rv);
    return text;
}

[[noreturn]] void failCall(const std::string& what, unsigned long rv) {
    const bool pin = rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED || rv == CKR_PIN_INVALID ||
                     rv == CKR_PIN_LEN_RANGE || rv == CKR_PIN_EXPIRED || rv == CKR_USER_NOT_LOGGED_IN;
    throw Failure(pin ? ExitCode::Pin : ExitCode::Token, what + ": " + rvName(rv));
}

void check(const std::string& what, unsigned long rv) {
    if (rv != CKR_OK) failCall(what, rv);
}

}  // namespace korva::tool
