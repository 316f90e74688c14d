// OpenSSL reports failures on the calling thread's error queue, which belongs
// to the host as much as to us: the host may read it for its own calls. An
// OpenSslErrorMark set before our OpenSSL calls takes what they leave there
// back out when it goes out of scope.
#pragma once

#include <openssl/err.h>

namespace korva {

class OpenSslErrorMark final {
public:
    OpenSslErrorMark() noexcept { ERR_set_mark(); }
    ~OpenSslErrorMark() { ERR_pop_to_mark(); }
    OpenSslErrorMark(const OpenSslErrorMark&) = delete;
    OpenSslErrorMark& operator=(const OpenSslErrorMark&) = delete;
};

}  // namespace korva
