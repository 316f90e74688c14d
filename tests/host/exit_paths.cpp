// How applications end: a process that loads the library, works on the
// token and then exits in one of the ways applications do. Run under the
// sanitisers, any use of freed memory or double free during exit fails it.
//
// usage: korva_pkcs11_exit <library> <card file> handler|never|thread
//   handler  an exit handler registered before the library was loaded closes
//            the sessions and finalises (as OpenSSL's engine clean-up does)
//   never    the process exits with the library initialised and a user
//            logged in, without C_Finalize
//   thread   another thread finalises while the main thread is between calls
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

ck_function_list* functions = nullptr;

unsigned char* text(const char* value) { return reinterpret_cast<unsigned char*>(const_cast<char*>(value)); }

void finaliseAtExit() {
    functions->C_CloseAllSessions(0);
    functions->C_Finalize(nullptr);
}

bool check(ck_rv_t rv, const char* what) {
    if (rv == CKR_OK) return true;
    std::fprintf(stderr, "%s failed: 0x%lX\n", what, rv);
    return false;
}

// A token with a user logged in, a session object and an operation running.
bool work() {
    unsigned char label[32];
    std::memset(label, ' ', sizeof label);
    ck_session_handle_t session = 0;
    unsigned long objectClass = CKO_SECRET_KEY, keyType = CKK_DES3;
    unsigned char no = 0, value[24] = {1, 2, 3};
    ck_attribute key[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                          {CKA_KEY_TYPE, &keyType, sizeof keyType},
                          {CKA_TOKEN, &no, 1},
                          {CKA_VALUE, value, sizeof value}};
    ck_object_handle_t handle = 0;
    ck_mechanism sha256{CKM_SHA256, nullptr, 0};
    return check(functions->C_Initialize(nullptr), "C_Initialize") &&
           check(functions->C_InitToken(0, text("87654321"), 8, label), "C_InitToken") &&
           check(functions->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
                 "C_OpenSession") &&
           check(functions->C_Login(session, CKU_USER, text("47102958"), 8), "C_Login") &&
           check(functions->C_CreateObject(session, key, 4, &handle), "C_CreateObject") &&
           check(functions->C_DigestInit(session, &sha256), "C_DigestInit");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string mode = argv[3];
    setenv("KORVA_CARDS", argv[2], 1);
    setenv("KORVA_CARD_PIN_COST", "1", 1);
    if (mode == "handler") std::atexit(finaliseAtExit);
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto get =
        library == nullptr ? nullptr : reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    if (get == nullptr || get(&functions) != CKR_OK) return 3;
    if (!work()) return 4;
    if (mode == "thread") {
        ck_rv_t rv = CKR_GENERAL_ERROR;
        std::thread([&] { rv = functions->C_Finalize(nullptr); }).join();
        if (!check(rv, "C_Finalize in another thread")) return 5;
    }
    return 0;  // exit handlers and static destructors run now
}
