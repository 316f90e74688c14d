// Slots of token information, settings, PINs, mechanisms and token
// initialisation: trampolines into token/.
#include "module/slot_guard.h"
#include "module/slots.h"

#include "token/data_files.h"
#include "token/initialise.h"
#include "token/login.h"
#include "session/mechanisms.h"
#include "session/settings.h"
#include "token/token_info.h"

#include <array>

namespace korva::slots {

namespace {

// The settings values travel as 32-bit arguments of which the card uses
// the low byte.
constexpr uint8_t lowByte(CK_ULONG value) noexcept { return static_cast<uint8_t>(value & 0xFF); }

CK_RV initTokenWith(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength, const uint8_t* label,
                    const token::SettingsValues& settings) {
    token::InitParameters parameters;
    parameters.soPin = soPin;
    parameters.soPinLength = soPinLength;
    parameters.label = label;
    parameters.settings = settings;
    return token::initToken(host, parameters);
}

}  // namespace

extern "C" {

CK_RV korva_slot00_readTokenSettings(HostContext host, uint8_t* buffer, CK_ULONG* length) {
    return guardSlot([&] { return token::readTokenSettings(host, buffer, length); });
}

CK_RV korva_slot01_resetSecurityState(HostContext host) {
    return guardSlot([&] { return token::resetSecurityState(host); });
}

CK_RV korva_slot03_initToken(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength, const uint8_t* label) {
    return guardSlot([&] { return initTokenWith(host, soPin, soPinLength, label, token::kDefaultSettingsValues); });
}

CK_RV korva_slot04_initUserPin(HostContext host, const LoginRecord* login, const HostByteVector* settings,
                               const uint8_t* pin, CK_ULONG pinLength) {
    return guardSlot([&] { return token::initUserPin(host, login, settings, pin, pinLength); });
}

CK_RV korva_slot05_setPin(HostContext host, const HostByteVector* settings, const uint8_t* oldPin,
                          CK_ULONG oldPinLength, const uint8_t* newPin, CK_ULONG newPinLength, CK_USER_TYPE userType) {
    return guardSlot(
        [&] { return token::setPin(host, settings, oldPin, oldPinLength, newPin, newPinLength, userType); });
}

CK_RV korva_slot06_getTokenInfo(HostContext host, const HostByteVector* settings, CK_TOKEN_INFO* info) {
    return guardSlot([&] { return token::getTokenInfo(host, settings, info); });
}

CK_RV korva_slot07_login(HostContext host, const HostByteVector*, const uint8_t* pin, CK_ULONG pinLength,
                         CK_USER_TYPE userType) {
    return guardSlot([&] { return token::login(host, pin, pinLength, userType); });
}

CK_RV korva_slot09_getMechanismList(HostContext host, const void*, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
    return guardSlot([&] { return token::getMechanismList(host, list, count); });
}

CK_RV korva_slot10_getMechanismInfo(HostContext host, const void*, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    return guardSlot([&] { return token::getMechanismInfo(host, type, info); });
}

CK_RV korva_slot51_initTokenWithSettings(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength,
                                         const uint8_t* label, CK_ULONG s1, CK_ULONG s2) {
    return guardSlot([&] {
        token::SettingsValues settings = token::kDefaultSettingsValues;
        settings[1] = lowByte(s1);
        settings[2] = lowByte(s2);
        return initTokenWith(host, soPin, soPinLength, label, settings);
    });
}

CK_RV korva_slot52_initTokenFull(HostContext host, const uint8_t* soPin, CK_ULONG soPinLength, const uint8_t* label,
                                 CK_ULONG s0, CK_ULONG s1, CK_ULONG s2, CK_ULONG s3, CK_ULONG s4, CK_ULONG s5,
                                 CK_ULONG s6, CK_ULONG s7, CK_ULONG s8, CK_ULONG s9, CK_ULONG s10, CK_ULONG s11,
                                 CK_ULONG s12, CK_ULONG s13, CK_ULONG s14) {
    return guardSlot([&] {
        const token::SettingsValues settings = {lowByte(s0),  lowByte(s1),  lowByte(s2),  lowByte(s3),  lowByte(s4),
                                                lowByte(s5),  lowByte(s6),  lowByte(s7),  lowByte(s8),  lowByte(s9),
                                                lowByte(s10), lowByte(s11), lowByte(s12), lowByte(s13), lowByte(s14)};
        return initTokenWith(host, soPin, soPinLength, label, settings);
    });
}

CK_RV korva_slot55_getTokenSettings(HostContext host, uint8_t* byte0, uint8_t* byte1, uint8_t* byte2, uint8_t* byte3,
                                    uint8_t* byte4, uint8_t* byte5, uint8_t* byte6, uint8_t* byte7, uint8_t* byte8,
                                    uint8_t* byte9, uint8_t* byte10, uint8_t* byte11, uint8_t* byte12, uint8_t* byte13,
                                    uint8_t* byte14, uint8_t* byte15, uint8_t* byte16) {
    return guardSlot([&] {
        const std::array<uint8_t*, token::kSettingsSize> bytes = {byte0,  byte1,  byte2,  byte3,  byte4,  byte5,
                                                                  byte6,  byte7,  byte8,  byte9,  byte10, byte11,
                                                                  byte12, byte13, byte14, byte15, byte16};
        return token::getTokenSettings(host, bytes);
    });
}

CK_RV korva_slot59_writeDataFile(HostContext host, const LoginRecord* login, CK_ULONG number, const uint8_t* data,
                                 CK_ULONG length) {
    return guardSlot([&] { return token::writeDataFile(host, login, number, data, length); });
}

CK_RV korva_slot60_readDataFile(HostContext host, CK_ULONG number, uint8_t* buffer, CK_ULONG* length) {
    return guardSlot([&] { return token::readDataFile(host, number, buffer, length); });
}

CK_RV korva_slot67_openUserSession(HostContext* host, const LoginRecord* login) {
    return guardSlot([&] { return token::openUserSession(host, login); });
}

CK_RV korva_slot72_getMechanismsWithInfo(HostContext host, const void*, MechanismInfoEntry* entries, CK_ULONG* count) {
    return guardSlot([&] { return token::getMechanismsWithInfo(host, entries, count); });
}

}  // extern "C"

}  // namespace korva::slots
