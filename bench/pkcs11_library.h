// What the benchmarks that load a PKCS#11 library by its path share: the
// loading, their PINs, and a token made ready for a user session.
#pragma once

#ifndef CRYPTOKI_GNU
#define CRYPTOKI_GNU 1
#endif
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace korva::bench {

inline constexpr unsigned long kGost2012Sign = 0xD4321008UL;  // GOST R 34.10-2012 with GOST R 34.11-2012, 256-bit
inline constexpr const char* kLibrarySoPin = "87654321";
inline constexpr const char* kLibraryUserPin = "12345678";

inline unsigned char* bytes(const char* text) { return reinterpret_cast<unsigned char*>(const_cast<char*>(text)); }

// One library, loaded for the rest of the process; `name` starts the text of
// each of its failures.
class Pkcs11Library {
public:
    Pkcs11Library(std::string name, const std::string& path) : name_(std::move(name)) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto get = handle ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList")) : nullptr;
        if (get == nullptr || get(&f_) != CKR_OK) throw std::runtime_error("cannot load " + path);
    }

    const std::string& name() const { return name_; }
    ck_function_list* f() const { return f_; }

    void check(ck_rv_t rv, const std::string& what) const {
        if (rv == CKR_OK) return;
        char code[24];
        std::snprintf(code, sizeof code, "0x%lX", rv);
        throw std::runtime_error(name_ + ": " + what + " failed with " + code);
    }

    // Initialises the token in `slot` afresh, with the benchmarks' SO PIN.
    void initToken(ck_slot_id_t slot, const char* label) const {
        unsigned char padded[32];
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded, label, std::min(std::strlen(label), sizeof padded));
        check(f_->C_InitToken(slot, bytes(kLibrarySoPin), 8, padded), "C_InitToken");
    }

    // A read-write session on the freshly initialised token in `slot`, logged
    // in as the user after the security officer has set the user PIN.
    ck_session_handle_t userSession(ck_slot_id_t slot) const {
        ck_session_handle_t session = 0;
        check(f_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              "C_OpenSession");
        check(f_->C_Login(session, CKU_SO, bytes(kLibrarySoPin), 8), "SO login");
        check(f_->C_InitPIN(session, bytes(kLibraryUserPin), 8), "C_InitPIN");
        check(f_->C_Logout(session), "C_Logout");
        check(f_->C_Login(session, CKU_USER, bytes(kLibraryUserPin), 8), "user login");
        return session;
    }

private:
    std::string name_;
    ck_function_list* f_ = nullptr;
};

}  // namespace korva::bench
