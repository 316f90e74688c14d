#include "host/entry.h"

#include "host/token.h"
#include "host/trace.h"

#include <string>

namespace korva::host {
namespace {

constexpr uint16_t kSessionDirectory = 0xFFFF;

// The token's directory files and the classes of the objects they hold.
struct Directory {
    uint16_t id;
    unsigned long objectClass;
};
constexpr Directory kDirectories[] = {
    {0x5000, CKO_PRIVATE_KEY}, {0x5001, CKO_PUBLIC_KEY}, {0x5003, CKO_SECRET_KEY},
    {0x5004, CKO_CERTIFICATE}, {0x5007, CKO_DATA},       {kSessionDirectory, CKO_SECRET_KEY},
};

uint16_t directoryOf(const abi::ObjectHandle& handle) {
    return static_cast<uint16_t>(handle.directoryHigh << 8 | handle.directoryLow);
}

}  // namespace

ck_rv_t traced(const char* function, ck_rv_t rv) noexcept {
    if (trace::insideTracedCall() || trace::level() == 0) return rv;
    try {
        trace::line(1, std::string(function) + " -> " + trace::returnValueName(rv));
    } catch (...) {
    }
    return rv;
}

ck_object_handle_t applicationHandle(const Token& token, const abi::ObjectHandle& handle) {
    return (static_cast<ck_object_handle_t>(token.id() + 1) << 24) |
           static_cast<ck_object_handle_t>(directoryOf(handle)) << 8 | handle.record;
}

std::optional<abi::ObjectHandle> moduleHandle(const Token& token, ck_object_handle_t handle) {
    if ((handle >> 24) != token.id() + 1 || (handle & 0xFF) == 0) return std::nullopt;
    const abi::ObjectHandle result{static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 16),
                                   static_cast<uint8_t>(handle >> 8)};
    for (const Directory& directory : kDirectories)
        if (directory.id == directoryOf(result)) return result;
    return std::nullopt;
}

unsigned long handleClass(const abi::ObjectHandle& handle) {
    for (const Directory& directory : kDirectories)
        if (directory.id == directoryOf(handle)) return directory.objectClass;
    return CKO_VENDOR_DEFINED;
}

bool isSessionObject(const abi::ObjectHandle& handle) { return directoryOf(handle) == kSessionDirectory; }

ck_rv_t ModuleMechanism::convert(const ck_mechanism* mechanism) {
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    const auto type = narrow(mechanism->mechanism);
    if (!type) return CKR_MECHANISM_INVALID;
    mechanism_.mechanism = *type;
    const bool derive = *type == CKM_GOSTR3410_DERIVE || *type == CKM_GOSTR3410_12_DERIVE;
    if (derive && mechanism->parameter != nullptr) {
        // Only the standard record, converted: any other bytes would be read
        // by the module as its own layout, pointers included.
        if (mechanism->parameter_len != sizeof(GostDeriveParameters)) return CKR_MECHANISM_PARAM_INVALID;
        const auto& given = *static_cast<const GostDeriveParameters*>(mechanism->parameter);
        const auto kdf = narrow(given.kdf);
        const auto publicLength = moduleLength(given.publicDataLength);
        const auto ukmLength = moduleLength(given.ukmLength);
        if (!kdf || !publicLength || !ukmLength) return CKR_MECHANISM_PARAM_INVALID;
        derive_ = {*kdf, given.publicData, *publicLength, given.ukm, *ukmLength};
        mechanism_.pParameter = &derive_;
        mechanism_.ulParameterLen = sizeof derive_;
        return CKR_OK;
    }
    const auto length = moduleLength(mechanism->parameter_len);
    if (!length || (mechanism->parameter == nullptr && *length != 0)) return CKR_MECHANISM_PARAM_INVALID;
    mechanism_.pParameter = mechanism->parameter;
    mechanism_.ulParameterLen = *length;
    return CKR_OK;
}

ck_rv_t requireWritable(const Session& session, bool tokenObject) {
    if (tokenObject && !session.readWrite()) return CKR_SESSION_READ_ONLY;
    return CKR_OK;
}

}  // namespace korva::host
