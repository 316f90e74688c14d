// The tool's connection to the token: the PKCS#11 library loaded as any
// application loads it (dlopen, C_GetFunctionList, C_Initialize), its vendor
// table, one slot, a session and the user's login.
#pragma once

#include "tools/korva-tool/pkcs11.h"
#include "tools/korva-tool/secrets.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korva::tool {

using Bytes = std::vector<uint8_t>;

struct ConnectionOptions {
    std::string module;              // the library file
    std::optional<CK_SLOT_ID> slot;  // else the first slot with a token
    std::optional<Secret> pin;       // --pin, or the first line of --pin-file
};

class Library final {
public:
    explicit Library(const std::string& path);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    CK_FUNCTION_LIST* operator->() const { return functions_; }
    const KORVA_VENDOR_FUNCTION_LIST& vendor() const;
    std::vector<CK_SLOT_ID> slots(bool withToken) const;

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    KORVA_VENDOR_FUNCTION_LIST* vendor_ = nullptr;
};

class TokenSession final {
public:
    TokenSession(const Library& library, const ConnectionOptions& options, bool readWrite);
    ~TokenSession();
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;

    CK_SESSION_HANDLE handle() const { return session_; }
    CK_SLOT_ID slot() const { return slot_; }
    // Logs the user in with the PIN of the options, else one read from the
    // terminal without echo. Nothing to do when already logged in.
    void login(const ConnectionOptions& options);

    std::vector<CK_OBJECT_HANDLE> find(CK_OBJECT_CLASS objectClass, const std::optional<Bytes>& id = {},
                                       const std::optional<std::string>& label = {}) const;
    // One object of the class, by id or label; fails naming what is missing
    // or ambiguous.
    CK_OBJECT_HANDLE findOne(CK_OBJECT_CLASS objectClass, const std::optional<Bytes>& id,
                             const std::optional<std::string>& label) const;
    // An attribute's value; nothing when the object has none or keeps it secret.
    std::optional<Bytes> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
    std::optional<CK_ULONG> number(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;

    const Library& library() const { return library_; }

private:
    const Library& library_;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

// "0A1B" for the bytes 0A 1B, and back (spaces and colons allowed).
std::string toHex(const Bytes& bytes);
Bytes fromHex(const std::string& text);
// An object's CKA_ID as --id takes it, followed by its text when it is
// printable (the token names imported objects with text ids).
std::string idText(const Bytes& id);

}  // namespace korva::tool
