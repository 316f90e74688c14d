// The library's vendor functions as an application finds them (dlsym of
// KORVA_GetVendorFunctionList): the standard's output-buffer rules, and the
// library's session, login and handle checks in front of the module.
// korva-tool's end-to-end test (tools/korva_tool_test.py) judges their
// results with OpenSSL.
#include "tests/support/temp_path.h"

#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <korva/pkcs11_vendor_functions.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

struct Library {
    ck_function_list* f = nullptr;
    KORVA_VENDOR_FUNCTION_LIST* vendor = nullptr;
};

const Library& library() {
    static const Library loaded = [] {
        Library result;
        void* handle = dlopen(KORVA_PKCS11_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return result;
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
        auto vendor = reinterpret_cast<KORVA_GetVendorFunctionList_t>(dlsym(handle, "KORVA_GetVendorFunctionList"));
        if (get == nullptr || get(&result.f) != CKR_OK || vendor == nullptr || vendor(&result.vendor) != CKR_OK)
            return Library{};
        return result;
    }();
    return loaded;
}

unsigned char* text(const char* value) { return reinterpret_cast<unsigned char*>(const_cast<char*>(value)); }

TEST(VendorFunctions, OutputBuffersAndTheLibrarysChecks) {
    const korva::test::TempPath card("vendor-card");
    const auto [f, vendor] = library();
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(vendor->major, KORVA_VENDOR_FUNCTIONS_MAJOR);
    EXPECT_EQ(vendor->verifyMessage(1, text("x"), 1, nullptr, 0), CKR_CRYPTOKI_NOT_INITIALIZED);
    setenv("KORVA_CARDS", card.path().c_str(), 1);
    setenv("KORVA_CARD_PIN_COST", "1", 1);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    unsigned char label[32];
    std::memset(label, ' ', sizeof label);
    ASSERT_EQ(f->C_InitToken(0, text("87654321"), 8, label), CKR_OK);
    ck_session_handle_t session = 0, readOnly = 0;
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &readOnly), CKR_OK);

    const KORVA_NAME_VALUE subject[] = {{"CN", "vendor functions"}};
    ck_object_handle_t publicKey = 0, privateKey = 0;
    const auto request = [&](ck_session_handle_t in, ck_object_handle_t key, const KORVA_NAME_VALUE* names,
                             unsigned char* out, unsigned long* length) {
        return vendor->createCertificateRequest(in, key, 0, names, 1, nullptr, 0, nullptr, 0, out, length);
    };
    unsigned long length = 0;
    EXPECT_EQ(request(session, 1, subject, nullptr, &length), CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(f->C_Login(session, CKU_USER, text("47102958"), 8), CKR_OK);
    unsigned long bits = 1024;
    unsigned char yes = 1, id[] = {0x42};
    ck_attribute publicTemplate[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_ID, id, 1}};
    ck_attribute privateTemplate[] = {
        {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}, {CKA_ID, id, 1}};
    ck_mechanism generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    ASSERT_EQ(f->C_GenerateKeyPair(session, &generate, publicTemplate, 3, privateTemplate, 4, &publicKey, &privateKey),
              CKR_OK);

    // The length query signs too; a short buffer gets the exact length.
    ASSERT_EQ(request(session, publicKey, subject, nullptr, &length), CKR_OK);
    std::vector<unsigned char> der(length);
    unsigned long shortLength = length - 1;
    EXPECT_EQ(request(session, publicKey, subject, der.data(), &shortLength), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortLength, length);
    EXPECT_EQ(request(session, publicKey, subject, der.data(), &length), CKR_OK);
    EXPECT_EQ(length, der.size());
    EXPECT_EQ(der[0], 0x30);

    const KORVA_NAME_VALUE unnamed[] = {{nullptr, "value"}};
    const unsigned char data[] = "signed";
    const struct {
        const char* what;
        std::function<unsigned long()> call;
        unsigned long rv;
    } refusals[] = {
        {"a handle of no object", [&] { return request(session, 0x7F0000FFUL, subject, nullptr, &length); },
         CKR_OBJECT_HANDLE_INVALID},
        {"a subject entry without a name", [&] { return request(session, publicKey, unnamed, nullptr, &length); },
         CKR_ARGUMENTS_BAD},
        {"no output length", [&] { return request(session, publicKey, subject, nullptr, nullptr); }, CKR_ARGUMENTS_BAD},
        {"a closed session", [&] { return request(0x7777, publicKey, subject, nullptr, &length); },
         CKR_SESSION_HANDLE_INVALID},
        {"a flag the message does not know",
         [&] { return vendor->signMessage(session, publicKey, 0, nullptr, 0, data, 6, 0x100, nullptr, &length); },
         CKR_ARGUMENTS_BAD},
        {"import in a read-only session", [&] { return vendor->importCertificate(readOnly, nullptr, id, 1, data, 6); },
         CKR_SESSION_READ_ONLY},
        {"a certificate that is none", [&] { return vendor->importCertificate(session, nullptr, id, 1, data, 6); },
         CKR_DATA_INVALID},
        {"a message that is none", [&] { return vendor->verifyMessage(session, data, 6, nullptr, 0); },
         CKR_DATA_INVALID},
    };
    for (const auto& refusal : refusals) EXPECT_EQ(refusal.call(), refusal.rv) << refusal.what;
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
}

}  // namespace
