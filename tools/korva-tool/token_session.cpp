#include "tools/korva-tool/token_session.h"

#include "tools/korva-tool/failure.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace korva::tool {

Library::Library(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw Failure(ExitCode::Library, "cannot load the PKCS#11 library " + path + ": " + (why ? why : "unknown"));
    }
    const auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (getList == nullptr) throw Failure(ExitCode::Library, path + " is no PKCS#11 library (no C_GetFunctionList)");
    check("C_GetFunctionList", getList(&functions_));
    const auto getVendor =
        reinterpret_cast<KORVA_GetVendorFunctionList_t>(dlsym(handle_, "KORVA_GetVendorFunctionList"));
    if (getVendor != nullptr && getVendor(&vendor_) == CKR_OK && vendor_->major != KORVA_VENDOR_FUNCTIONS_MAJOR)
        vendor_ = nullptr;
    check("C_Initialize", functions_->C_Initialize(nullptr));
}

Library::~Library() {
    if (functions_ != nullptr) functions_->C_Finalize(nullptr);
    // The library stays mapped: a library may leave threads or handlers
    // behind that a process exiting soon does not need to unload.
}

const KORVA_VENDOR_FUNCTION_LIST& Library::vendor() const {
    if (vendor_ == nullptr)
        throw Failure(ExitCode::Library,
                      "the PKCS#11 library has no KORVA_GetVendorFunctionList: not the token's library");
    return *vendor_;
}

std::vector<CK_SLOT_ID> Library::slots(bool withToken) const {
    CK_ULONG count = 0;
    check("C_GetSlotList", functions_->C_GetSlotList(withToken, nullptr, &count));
    std::vector<CK_SLOT_ID> ids(count);
    check("C_GetSlotList", functions_->C_GetSlotList(withToken, ids.data(), &count));
    ids.resize(count);
    return ids;
}

TokenSession::TokenSession(const Library& library, const ConnectionOptions& options, bool readWrite)
    : library_(library) {
    if (options.slot) {
        slot_ = *options.slot;
    } else {
        const auto slots = library.slots(true);
        if (slots.empty()) throw Failure(ExitCode::Library, "no slot holds a token");
        slot_ = slots.front();
    }
    const CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    const CK_RV rv = library->C_OpenSession(slot_, flags, nullptr, nullptr, &session_);
    if (rv == CKR_SLOT_ID_INVALID || rv == CKR_TOKEN_NOT_PRESENT)
        throw Failure(ExitCode::Library, "slot " + std::to_string(slot_) + ": " + rvName(rv));
    check("C_OpenSession (slot " + std::to_string(slot_) + ")", rv);
}

TokenSession::~TokenSession() {
    if (session_ != CK_INVALID_HANDLE) library_->C_CloseSession(session_);
}

void TokenSession::login(const ConnectionOptions& options) {
    CK_SESSION_INFO info{};
    check("C_GetSessionInfo", library_->C_GetSessionInfo(session_, &info));
    if (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS) return;
    const Secret asked = options.pin ? Secret() : askTerminal("the user PIN", "--pin or --pin-file");
    const std::string& pin = options.pin ? options.pin->get() : asked.get();
    auto* bytes = reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data()));
    const CK_RV rv = library_->C_Login(session_, CKU_USER, bytes, pin.size());
    if (rv != CKR_USER_ALREADY_LOGGED_IN) check("C_Login (user PIN)", rv);
}

std::vector<CK_OBJECT_HANDLE> TokenSession::find(CK_OBJECT_CLASS objectClass, const std::optional<Bytes>& id,
                                                 const std::optional<std::string>& label) const {
    std::vector<CK_ATTRIBUTE> query = {{CKA_CLASS, &objectClass, sizeof objectClass}};
    if (id) query.push_back({CKA_ID, const_cast<uint8_t*>(id->data()), id->size()});
    if (label) query.push_back({CKA_LABEL, const_cast<char*>(label->data()), label->size()});
    check("C_FindObjectsInit", library_->C_FindObjectsInit(session_, query.data(), query.size()));
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG count = 0;
    CK_RV rv;
    while ((rv = library_->C_FindObjects(session_, batch, 64, &count)) == CKR_OK && count > 0)
        found.insert(found.end(), batch, batch + count);
    library_->C_FindObjectsFinal(session_);
    check("C_FindObjects", rv);
    return found;
}

CK_OBJECT_HANDLE TokenSession::findOne(CK_OBJECT_CLASS objectClass, const std::optional<Bytes>& id,
                                       const std::optional<std::string>& label) const {
    const char* what = objectClass == CKO_CERTIFICATE  ? "certificate"
                       : objectClass == CKO_PUBLIC_KEY ? "public key"
                                                       : "private key";
    const std::string by = id ? "id " + toHex(*id) : label ? "label \"" + *label + "\"" : "any id";
    const auto found = find(objectClass, id, label);
    if (found.empty()) throw Failure(ExitCode::Token, std::string("no ") + what + " with " + by + " on the token");
    if (found.size() > 1)
        throw Failure(ExitCode::Usage,
                      std::to_string(found.size()) + " " + what + "s with " + by + " on the token; name one with --id");
    return found.front();
}

std::optional<Bytes> TokenSession::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
    CK_ATTRIBUTE query{type, nullptr, 0};
    if (library_->C_GetAttributeValue(session_, object, &query, 1) != CKR_OK ||
        query.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return std::nullopt;
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    if (library_->C_GetAttributeValue(session_, object, &query, 1) != CKR_OK) return std::nullopt;
    value.resize(query.ulValueLen);
    return value;
}

std::optional<CK_ULONG> TokenSession::number(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
    CK_ULONG value = 0;
    CK_ATTRIBUTE query{type, &value, sizeof value};
    if (library_->C_GetAttributeValue(session_, object, &query, 1) != CKR_OK) return std::nullopt;
    return value;
}

std::string toHex(const Bytes& bytes) {
    std::string text;
    char pair[3];
    for (const uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string idText(const Bytes& id) {
    if (id.empty()) return "(none)";
    const bool printable = std::all_of(id.begin(), id.end(), [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
    return printable && id.size() > 2 ? toHex(id) + " (\"" + std::string(id.begin(), id.end()) + "\")" : toHex(id);
}

Bytes fromHex(const std::string& text) {
    Bytes bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw Failure(ExitCode::Usage, "\"" + text + "\" is not hexadecimal");
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(uint8_t(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) throw Failure(ExitCode::Usage, "\"" + text + "\" has an odd number of hexadecimal digits");
    return bytes;
}

}  // namespace korva::tool
