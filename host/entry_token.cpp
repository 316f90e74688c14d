// The library, slots and tokens: C_Initialize to C_SetPIN.
#include "host/entry.h"

#include "common/output_length.h"
#include "host/mechanisms.h"
#include "host/object_cache_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace korva::host {
namespace {

template <size_t N>
void blankPadded(unsigned char (&field)[N], std::string_view text) {
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

unsigned long widened(abi::CK_ULONG value) {
    return value == abi::KORVA_UNAVAILABLE_LENGTH ? CK_UNAVAILABLE_INFORMATION : value;
}

void copyTokenInfo(const abi::CK_TOKEN_INFO& from, ck_token_info& to) {
    std::memcpy(to.label, from.label, sizeof to.label);
    std::memcpy(to.manufacturer_id, from.manufacturerID, sizeof to.manufacturer_id);
    std::memcpy(to.model, from.model, sizeof to.model);
    std::memcpy(to.serial_number, from.serialNumber, sizeof to.serial_number);
    to.flags = from.flags;
    to.max_pin_len = from.ulMaxPinLen;
    to.min_pin_len = from.ulMinPinLen;
    to.total_public_memory = widened(from.ulTotalPublicMemory);
    to.free_public_memory = widened(from.ulFreePublicMemory);
    to.total_private_memory = widened(from.ulTotalPrivateMemory);
    to.free_private_memory = widened(from.ulFreePrivateMemory);
    to.hardware_version = {from.hardwareVersion.major, from.hardwareVersion.minor};
    to.firmware_version = {from.firmwareVersion.major, from.firmwareVersion.minor};
    std::memcpy(to.utc_time, from.utcTime, sizeof to.utc_time);
}

// The label is 32 blank-padded bytes. Some applications pass a shorter C
// string instead; a NUL never belongs to a padded label, so reading stops
// there and the rest is padded, which reads no byte beyond either form.
std::array<unsigned char, 32> paddedLabel(const unsigned char* label) {
    std::array<unsigned char, 32> padded;
    padded.fill(' ');
    for (size_t i = 0; i < padded.size() && label[i] != 0; ++i) padded[i] = label[i];
    return padded;
}

ck_rv_t pinArguments(const unsigned char* pin, unsigned long length) {
    if (pin == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    if (!narrow(length)) return CKR_PIN_LEN_RANGE;
    return CKR_OK;
}

// A PIN change that failed on a locked PIN says so; the card's answer alone
// does not tell, its retry counter does.
ck_rv_t pinLockedOr(Token& token, unsigned long user, ck_rv_t rv) {
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE || rv == CKR_PIN_INVALID) return rv;
    abi::CK_TOKEN_INFO info{};
    if (token.module().getTokenInfo(token.context(), token.settings(), &info) != CKR_OK) return rv;
    return (info.flags & (user == CKU_SO ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED)) != 0 ? CKR_PIN_LOCKED : rv;
}

}  // namespace
}  // namespace korva::host

using namespace korva::host;

KORVA_HOST_EXPORT ck_rv_t C_Initialize(void* arguments) {
    return guarded([&] { return Library::initialize(arguments); });
}

KORVA_HOST_EXPORT ck_rv_t C_Finalize(void* reserved) {
    return guarded([&] { return Library::finalize(reserved); });
}

KORVA_HOST_EXPORT ck_rv_t C_GetInfo(ck_info* info) {
    return withLibrary([&](Library&) -> ck_rv_t {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        *info = {};
        info->cryptoki_version = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
        blankPadded(info->manufacturer_id, "KORVA");
        blankPadded(info->library_description, "KORVA token PKCS#11 library");
        info->library_version = {0, 1};
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetSlotList(unsigned char tokenPresent, ck_slot_id_t* list, unsigned long* count) {
    return withLibrary([&](Library& library) -> ck_rv_t {
        if (count == nullptr) return CKR_ARGUMENTS_BAD;
        std::vector<ck_slot_id_t> slots;
        for (const auto& token : library.tokens()) {
            TokenCall call(*token);
            // A reader that went away (or the service behind it) has no slot any more.
            if (call.begun() == ReaderStatus::readerGone) continue;
            if (!tokenPresent || call.card().present) slots.push_back(token->id());
        }
        if (const korva::OutputRoom room = korva::claimOutput(list, *count, slots.size());
            room != korva::OutputRoom::kFits) {
            return korva::outputRoomRv<ck_rv_t>(room);
        }
        std::copy(slots.begin(), slots.end(), list);
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetSlotInfo(ck_slot_id_t slot, ck_slot_info* info) {
    return withLibrary([&](Library& library) -> ck_rv_t {
        Token* token = library.token(slot);
        if (token == nullptr) return CKR_SLOT_ID_INVALID;
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        TokenCall call(*token);
        if (call.begun() == ReaderStatus::readerGone) return CKR_SLOT_ID_INVALID;  // as in C_GetSlotList
        *info = {};
        blankPadded(info->slot_description, token->reader().description());
        blankPadded(info->manufacturer_id, "KORVA");
        info->flags = (call.card().present ? CKF_TOKEN_PRESENT : 0) |
                      (token->reader().removable() ? CKF_REMOVABLE_DEVICE | CKF_HW_SLOT : 0);
        info->hardware_version = {0, 1};
        info->firmware_version = {0, 1};
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetTokenInfo(ck_slot_id_t slot, ck_token_info* info) {
    return withToken(slot, [&](Library& library, Token& token) -> ck_rv_t {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        abi::CK_TOKEN_INFO moduleInfo{};
        const abi::CK_RV rv = token.module().getTokenInfo(token.context(), token.settings(), &moduleInfo);
        if (rv != CKR_OK) return rv;
        // The card's serial names the objects other processes kept for it.
        token.objectCache().noteSerial(token.cardIdentity(), cacheFileSerial(moduleInfo.serialNumber));
        *info = {};
        copyTokenInfo(moduleInfo, *info);
        info->flags = token.pinHistory().flags(info->flags);
        // Sessions are the library's: it sets no limit of its own.
        info->max_session_count = CK_EFFECTIVELY_INFINITE;
        info->max_rw_session_count = CK_EFFECTIVELY_INFINITE;
        info->session_count = library.sessionCount(token, false);
        info->rw_session_count = library.sessionCount(token, true);
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_WaitForSlotEvent(ck_flags_t flags, ck_slot_id_t* slot, void* reserved) {
    return withLibrary([&](Library& library) -> ck_rv_t {
        if (slot == nullptr || reserved != nullptr) return CKR_ARGUMENTS_BAD;
        return library.waitForSlotEvent((flags & CKF_DONT_BLOCK) == 0, *slot);
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetMechanismList(ck_slot_id_t slot, ck_mechanism_type_t* list, unsigned long* count) {
    return withToken(slot, [&](Library&, Token& token) -> ck_rv_t {
        if (count == nullptr) return CKR_ARGUMENTS_BAD;
        std::vector<MechanismEntry> entries;
        if (const ck_rv_t rv = tokenMechanisms(token, entries); rv != CKR_OK) return rv;
        if (const korva::OutputRoom room = korva::claimOutput(list, *count, entries.size());
            room != korva::OutputRoom::kFits) {
            return korva::outputRoomRv<ck_rv_t>(room);
        }
        std::ranges::transform(entries, list, &MechanismEntry::type);
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_GetMechanismInfo(ck_slot_id_t slot, ck_mechanism_type_t type, ck_mechanism_info* info) {
    return withToken(slot, [&](Library&, Token& token) -> ck_rv_t {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        std::vector<MechanismEntry> entries;
        if (const ck_rv_t rv = tokenMechanisms(token, entries); rv != CKR_OK) return rv;
        const auto found = std::ranges::find(entries, type, &MechanismEntry::type);
        if (found == entries.end()) return CKR_MECHANISM_INVALID;
        info->min_key_size = found->minKeySize;
        info->max_key_size = found->maxKeySize;
        info->flags = found->flags;
        return CKR_OK;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_InitToken(ck_slot_id_t slot, unsigned char* pin, unsigned long pinLength,
                                      unsigned char* label) {
    return withToken(slot, [&](Library& library, Token& token) -> ck_rv_t {
        if (pin == nullptr || label == nullptr) return CKR_ARGUMENTS_BAD;
        if (library.sessionCount(token, false) != 0) return CKR_SESSION_EXISTS;
        const auto length = narrow(pinLength);
        if (!length) return CKR_PIN_INCORRECT;
        const abi::CK_RV rv = token.module().initToken(token.context(), pin, *length, paddedLabel(label).data());
        // Initialisation restarts the change counter: a kept file could match it again.
        removeObjectCaches();
        token.logOut();
        // Every object of the card went with it.
        token.handles().clear();
        token.refreshSettings();
        return rv;
    });
}

KORVA_HOST_EXPORT ck_rv_t C_InitPIN(ck_session_handle_t handle, unsigned char* pin, unsigned long pinLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (const ck_rv_t rv = pinArguments(pin, pinLength); rv != CKR_OK) return rv;
        if (token.user() != CKU_SO) return CKR_USER_NOT_LOGGED_IN;
        if (!session.readWrite()) return CKR_SESSION_READ_ONLY;
        LoginRecordCopy login;
        token.fillLogin(login);
        return token.module().initUserPin(token.context(), login.get(), token.settings(), pin,
                                          static_cast<abi::CK_ULONG>(pinLength));
    });
}

KORVA_HOST_EXPORT ck_rv_t C_SetPIN(ck_session_handle_t handle, unsigned char* oldPin, unsigned long oldLength,
                                   unsigned char* newPin, unsigned long newLength) {
    return withSession(handle, [&](Library&, Session& session, Token& token) -> ck_rv_t {
        if (oldPin == nullptr || newPin == nullptr) return CKR_ARGUMENTS_BAD;
        if (!narrow(oldLength)) return CKR_PIN_INCORRECT;
        if (!narrow(newLength)) return CKR_PIN_LEN_RANGE;
        if (!session.readWrite()) return CKR_SESSION_READ_ONLY;
        // The standard changes the PIN of whoever is logged in, the user's
        // when nobody is.
        const unsigned long user = token.user().value_or(CKU_USER);
        const abi::CK_RV rv = token.module().setPin(
            token.context(), token.settings(), oldPin, static_cast<abi::CK_ULONG>(oldLength), newPin,
            static_cast<abi::CK_ULONG>(newLength), user == CKU_SO ? KORVA_USER_TYPE_SO : KORVA_USER_TYPE_USER);
        if (rv == CKR_OK && token.user()) token.changePin({newPin, newLength});
        token.pinHistory().note(user, rv);
        return rv == CKR_OK ? rv : pinLockedOr(token, user, rv);
    });
}
