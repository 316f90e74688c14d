// The library as an application loads it, over two card files of its own.
#pragma once

#include "tests/support/temp_path.h"

#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

namespace korva::test {

inline ck_function_list* library() {
    static ck_function_list* list = [] {
        void* handle = dlopen(KORVA_PKCS11_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return static_cast<ck_function_list*>(nullptr);
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
        ck_function_list* result = nullptr;
        return get != nullptr && get(&result) == CKR_OK ? result : nullptr;
    }();
    return list;
}

inline constexpr const char* kSoPin = "87654321";
inline constexpr const char* kUserPin = "47102958";  // a newly initialised token's user PIN

inline unsigned char* text(const char* value) { return reinterpret_cast<unsigned char*>(const_cast<char*>(value)); }

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(library(), nullptr);
        f = library();
        cards = {folder.path() / "first.card", folder.path() / "second.card"};
        setenv("KORVA_CARDS", (cards[0].string() + ":" + cards[1].string()).c_str(), 1);
        setenv("KORVA_CARD_PIN_COST", "1", 1);                           // fresh cards derive PIN keys cheaply
        setenv("XDG_STATE_HOME", folder.path().c_str(), 1);              // the crash journal of session keys
        setenv("XDG_CACHE_HOME", (folder.path() / "cache").c_str(), 1);  // the objects kept between processes
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    void initialise() { ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK); }

    // An initialised token with a read-write session.
    ck_session_handle_t readyToken(ck_slot_id_t slot = 0) {
        unsigned char label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "library test", 12);
        EXPECT_EQ(f->C_InitToken(slot, text(kSoPin), 8, label), CKR_OK);
        ck_session_handle_t session = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
        return session;
    }

    // A public triple-DES key that is no token object: the host keeps it.
    ck_rv_t sessionKey(ck_session_handle_t session, ck_object_handle_t* key) {
        unsigned long objectClass = CKO_SECRET_KEY, keyType = CKK_DES3;
        unsigned char no = 0, value[24] = {1, 2, 3};
        ck_attribute attributes[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                                     {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                     {CKA_TOKEN, &no, 1},
                                     {CKA_PRIVATE, &no, 1},
                                     {CKA_VALUE, value, sizeof value}};
        return f->C_CreateObject(session, attributes, 5, key);
    }

    // Another process changes the card through the library.
    void inChild(const std::function<int(ck_session_handle_t)>& change, bool logIn = true) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ck_session_handle_t own = 0;
            if (f->C_Initialize(nullptr) != CKR_OK ||
                f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &own) != CKR_OK ||
                (logIn && f->C_Login(own, CKU_USER, text(kUserPin), 8) != CKR_OK))
                _exit(1);
            const int status = change(own);
            _exit(f->C_Finalize(nullptr) == CKR_OK ? status : 2);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    ck_function_list* f = nullptr;
    korva::test::TempPath folder;
    std::vector<std::filesystem::path> cards;
};

}  // namespace korva::test
