// The traced function list: one wrapper per standard function, made from a
// list that says what each argument is, so that the trace shows slots,
// sessions, handles, mechanisms and templates by name, and lengths where
// the argument is data (a PIN or any buffer's content is never printed).
#include "host/trace.h"

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>

namespace korva::host::trace {
namespace {

// What one argument is. A pointer whose length or count is the next
// argument describes both; that next argument is then `Paired`.
enum class Arg {
    Paired,   // printed with the argument before it
    Pointer,  // only whether it is null
    Flag,     // a CK_BBOOL
    Slot,
    Session,
    Object,
    Flags,
    User,
    Number,
    Mechanism,  // ck_mechanism*
    Type,       // a mechanism type
    Pin,        // a secret and its length: only the length
    Data,       // input data and its length: only the length
    Template,   // attributes and their count: types and lengths
    Filled,     // a template the call fills: types and lengths before and after
    Out,        // an output buffer and its length's address
    OutList,    // a list and its count's address
    OutNumber,  // the address of a number the call sets
    OutSession,
    OutObject,
};

std::string hex(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

std::string userName(unsigned long user) {
    switch (user) {
        case CKU_SO: return "CKU_SO";
        case CKU_USER: return "CKU_USER";
        case CKU_CONTEXT_SPECIFIC: return "CKU_CONTEXT_SPECIFIC";
        default: return hex(user);
    }
}

std::string lengthText(unsigned long length) {
    return length == CK_UNAVAILABLE_INFORMATION ? std::string("unavailable") : std::to_string(length);
}

// Types and lengths; never values.
std::string templateText(const ck_attribute* attributes, unsigned long count) {
    if (attributes == nullptr) return count == 0 ? "[]" : "null[" + std::to_string(count) + "]";
    constexpr unsigned long kShown = 40;
    std::string text = "[";
    for (unsigned long i = 0; i < count && i < kShown; ++i) {
        if (i != 0) text += ", ";
        text += attributeName(attributes[i].type) + "(" + lengthText(attributes[i].value_len) + ")";
    }
    if (count > kShown) text += ", ... " + std::to_string(count) + " in all";
    return text + "]";
}

std::string mechanismText(const ck_mechanism* mechanism) {
    if (mechanism == nullptr) return "null";
    std::string text = mechanismName(mechanism->mechanism);
    if (mechanism->parameter != nullptr || mechanism->parameter_len != 0)
        text += " parameter=<" + std::to_string(mechanism->parameter_len) + " bytes>";
    return text;
}

std::string lengthBehind(const unsigned long* length) {
    return length == nullptr ? std::string("null") : std::to_string(*length);
}

template <Arg... Kinds>
constexpr Arg kKinds[] = {Kinds...};

// The argument I before the call ("" when it is printed with its neighbour).
template <const Arg* Kinds, size_t I, typename Tuple>
std::string before(const Tuple& args) {
    constexpr Arg kind = Kinds[I];
    [[maybe_unused]] const auto& value = std::get<I>(args);
    if constexpr (kind == Arg::Paired) {
        return {};
    } else if constexpr (kind == Arg::Pointer) {
        return value == nullptr ? "null" : "set";
    } else if constexpr (kind == Arg::Flag) {
        return value ? "true" : "false";
    } else if constexpr (kind == Arg::Slot) {
        return "slot=" + std::to_string(value);
    } else if constexpr (kind == Arg::Session) {
        return "session=" + std::to_string(value);
    } else if constexpr (kind == Arg::Object) {
        return "object=" + hex(value);
    } else if constexpr (kind == Arg::Flags) {
        return "flags=" + hex(value);
    } else if constexpr (kind == Arg::User) {
        return "user=" + userName(value);
    } else if constexpr (kind == Arg::Number) {
        return std::to_string(value);
    } else if constexpr (kind == Arg::Mechanism) {
        return "mechanism=" + mechanismText(value);
    } else if constexpr (kind == Arg::Type) {
        return "mechanism=" + mechanismName(value);
    } else if constexpr (kind == Arg::Pin) {
        return "pin=<" + std::to_string(std::get<I + 1>(args)) + " bytes>";
    } else if constexpr (kind == Arg::Data) {
        return std::string(value == nullptr ? "null" : "data") + "<" + std::to_string(std::get<I + 1>(args)) +
               " bytes>";
    } else if constexpr (kind == Arg::Template || kind == Arg::Filled) {
        return "template=" + templateText(value, std::get<I + 1>(args));
    } else if constexpr (kind == Arg::Out || kind == Arg::OutList) {
        return std::string(value == nullptr ? "length query" : "buffer") + "<" + lengthBehind(std::get<I + 1>(args)) +
               ">";
    } else {
        return value == nullptr ? "null" : "&out";
    }
}

// What the call handed back in argument I ("" when it hands back nothing there).
template <const Arg* Kinds, size_t I, typename Tuple>
std::string after(const Tuple& args) {
    constexpr Arg kind = Kinds[I];
    [[maybe_unused]] const auto& value = std::get<I>(args);
    if constexpr (kind == Arg::Filled) {
        return "template=" + templateText(value, std::get<I + 1>(args));
    } else if constexpr (kind == Arg::Out || kind == Arg::OutList) {
        return "length=" + lengthBehind(std::get<I + 1>(args));
    } else if constexpr (kind == Arg::OutNumber) {
        return value == nullptr ? std::string() : "value=" + std::to_string(*value);
    } else if constexpr (kind == Arg::OutSession) {
        return value == nullptr ? std::string() : "session=" + std::to_string(*value);
    } else if constexpr (kind == Arg::OutObject) {
        return value == nullptr ? std::string() : "object=" + hex(*value);
    } else {
        return {};
    }
}

void join(std::string& text, const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += ", ";
    text += part;
}

template <const Arg* Kinds, typename Tuple, size_t... I>
std::string describe(bool output, const Tuple& args, std::index_sequence<I...>) {
    std::string text;
    (join(text, output ? after<Kinds, I>(args) : before<Kinds, I>(args)), ...);
    return text;
}

template <auto Function, Arg... Kinds>
struct Traced;

template <typename... Args, ck_rv_t (*Function)(Args...), Arg... Kinds>
struct Traced<Function, Kinds...> {
    static_assert(sizeof...(Args) == sizeof...(Kinds), "one kind per argument");
    static const char* name;

    static ck_rv_t call(Args... args) {
        const auto tuple = std::forward_as_tuple(args...);
        constexpr auto indices = std::index_sequence_for<Args...>{};
        try {
            line(1, std::string(name) + "(" + describe<kKinds<Kinds...>>(false, tuple, indices) + ")");
        } catch (...) {
        }
        TracedCall inside;
        const ck_rv_t rv = Function(args...);
        try {
            std::string result = std::string(name) + " -> " + returnValueName(rv);
            if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) {
                const std::string outputs = describe<kKinds<Kinds...>>(true, tuple, indices);
                if (!outputs.empty()) result += " (" + outputs + ")";
            }
            line(1, result);
        } catch (...) {
        }
        return rv;
    }
};

template <typename... Args, ck_rv_t (*Function)(Args...), Arg... Kinds>
const char* Traced<Function, Kinds...>::name = nullptr;

// Names the wrapper (for its lines) and yields its address.
#define TRACED(function, ...) (Traced<&function, __VA_ARGS__>::name = #function, &Traced<&function, __VA_ARGS__>::call)

using enum Arg;

ck_function_list makeList() {
    ck_function_list list{};
    list.version = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
    list.C_Initialize = TRACED(C_Initialize, Pointer);
    list.C_Finalize = TRACED(C_Finalize, Pointer);
    list.C_GetInfo = TRACED(C_GetInfo, Pointer);
    list.C_GetFunctionList = C_GetFunctionList;
    list.C_GetSlotList = TRACED(C_GetSlotList, Flag, OutList, Paired);
    list.C_GetSlotInfo = TRACED(C_GetSlotInfo, Slot, Pointer);
    list.C_GetTokenInfo = TRACED(C_GetTokenInfo, Slot, Pointer);
    list.C_GetMechanismList = TRACED(C_GetMechanismList, Slot, OutList, Paired);
    list.C_GetMechanismInfo = TRACED(C_GetMechanismInfo, Slot, Type, Pointer);
    list.C_InitToken = TRACED(C_InitToken, Slot, Pin, Paired, Pointer);
    list.C_InitPIN = TRACED(C_InitPIN, Session, Pin, Paired);
    list.C_SetPIN = TRACED(C_SetPIN, Session, Pin, Paired, Pin, Paired);
    list.C_OpenSession = TRACED(C_OpenSession, Slot, Flags, Pointer, Pointer, OutSession);
    list.C_CloseSession = TRACED(C_CloseSession, Session);
    list.C_CloseAllSessions = TRACED(C_CloseAllSessions, Slot);
    list.C_GetSessionInfo = TRACED(C_GetSessionInfo, Session, Pointer);
    list.C_GetOperationState = TRACED(C_GetOperationState, Session, Out, Paired);
    list.C_SetOperationState = TRACED(C_SetOperationState, Session, Data, Paired, Object, Object);
    list.C_Login = TRACED(C_Login, Session, User, Pin, Paired);
    list.C_Logout = TRACED(C_Logout, Session);
    list.C_CreateObject = TRACED(C_CreateObject, Session, Template, Paired, OutObject);
    list.C_CopyObject = TRACED(C_CopyObject, Session, Object, Template, Paired, OutObject);
    list.C_DestroyObject = TRACED(C_DestroyObject, Session, Object);
    list.C_GetObjectSize = TRACED(C_GetObjectSize, Session, Object, OutNumber);
    list.C_GetAttributeValue = TRACED(C_GetAttributeValue, Session, Object, Filled, Paired);
    list.C_SetAttributeValue = TRACED(C_SetAttributeValue, Session, Object, Template, Paired);
    list.C_FindObjectsInit = TRACED(C_FindObjectsInit, Session, Template, Paired);
    list.C_FindObjects = TRACED(C_FindObjects, Session, Pointer, Number, OutNumber);
    list.C_FindObjectsFinal = TRACED(C_FindObjectsFinal, Session);
    list.C_EncryptInit = TRACED(C_EncryptInit, Session, Mechanism, Object);
    list.C_Encrypt = TRACED(C_Encrypt, Session, Data, Paired, Out, Paired);
    list.C_EncryptUpdate = TRACED(C_EncryptUpdate, Session, Data, Paired, Out, Paired);
    list.C_EncryptFinal = TRACED(C_EncryptFinal, Session, Out, Paired);
    list.C_DecryptInit = TRACED(C_DecryptInit, Session, Mechanism, Object);
    list.C_Decrypt = TRACED(C_Decrypt, Session, Data, Paired, Out, Paired);
    list.C_DecryptUpdate = TRACED(C_DecryptUpdate, Session, Data, Paired, Out, Paired);
    list.C_DecryptFinal = TRACED(C_DecryptFinal, Session, Out, Paired);
    list.C_DigestInit = TRACED(C_DigestInit, Session, Mechanism);
    list.C_Digest = TRACED(C_Digest, Session, Data, Paired, Out, Paired);
    list.C_DigestUpdate = TRACED(C_DigestUpdate, Session, Data, Paired);
    list.C_DigestKey = TRACED(C_DigestKey, Session, Object);
    list.C_DigestFinal = TRACED(C_DigestFinal, Session, Out, Paired);
    list.C_SignInit = TRACED(C_SignInit, Session, Mechanism, Object);
    list.C_Sign = TRACED(C_Sign, Session, Data, Paired, Out, Paired);
    list.C_SignUpdate = TRACED(C_SignUpdate, Session, Data, Paired);
    list.C_SignFinal = TRACED(C_SignFinal, Session, Out, Paired);
    list.C_SignRecoverInit = TRACED(C_SignRecoverInit, Session, Mechanism, Object);
    list.C_SignRecover = TRACED(C_SignRecover, Session, Data, Paired, Out, Paired);
    list.C_VerifyInit = TRACED(C_VerifyInit, Session, Mechanism, Object);
    list.C_Verify = TRACED(C_Verify, Session, Data, Paired, Data, Paired);
    list.C_VerifyUpdate = TRACED(C_VerifyUpdate, Session, Data, Paired);
    list.C_VerifyFinal = TRACED(C_VerifyFinal, Session, Data, Paired);
    list.C_VerifyRecoverInit = TRACED(C_VerifyRecoverInit, Session, Mechanism, Object);
    list.C_VerifyRecover = TRACED(C_VerifyRecover, Session, Data, Paired, Out, Paired);
    list.C_DigestEncryptUpdate = TRACED(C_DigestEncryptUpdate, Session, Data, Paired, Out, Paired);
    list.C_DecryptDigestUpdate = TRACED(C_DecryptDigestUpdate, Session, Data, Paired, Out, Paired);
    list.C_SignEncryptUpdate = TRACED(C_SignEncryptUpdate, Session, Data, Paired, Out, Paired);
    list.C_DecryptVerifyUpdate = TRACED(C_DecryptVerifyUpdate, Session, Data, Paired, Out, Paired);
    list.C_GenerateKey = TRACED(C_GenerateKey, Session, Mechanism, Template, Paired, OutObject);
    list.C_GenerateKeyPair =
        TRACED(C_GenerateKeyPair, Session, Mechanism, Template, Paired, Template, Paired, OutObject, OutObject);
    list.C_WrapKey = TRACED(C_WrapKey, Session, Mechanism, Object, Object, Out, Paired);
    list.C_UnwrapKey = TRACED(C_UnwrapKey, Session, Mechanism, Object, Data, Paired, Template, Paired, OutObject);
    list.C_DeriveKey = TRACED(C_DeriveKey, Session, Mechanism, Object, Template, Paired, OutObject);
    list.C_SeedRandom = TRACED(C_SeedRandom, Session, Data, Paired);
    list.C_GenerateRandom = TRACED(C_GenerateRandom, Session, Pointer, Number);
    list.C_GetFunctionStatus = TRACED(C_GetFunctionStatus, Session);
    list.C_CancelFunction = TRACED(C_CancelFunction, Session);
    list.C_WaitForSlotEvent = TRACED(C_WaitForSlotEvent, Flags, OutNumber, Pointer);
    return list;
}

}  // namespace

ck_function_list* tracedFunctionList() {
    static ck_function_list list = makeList();
    return &list;
}

}  // namespace korva::host::trace
