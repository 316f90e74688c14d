// The module's slot table: 73 entries, read-only, identical for every
// caller. Null entries are operations the module does not provide. The
// constant answers live here; every other entry is a trampoline declared in
// slots.h and defined in its group's file, module/slots_<group>.cpp.
#include "module/function_table.h"

#include "module/slots.h"

namespace korva {
namespace {

using abi::CK_RV;
using abi::CK_ULONG;
using abi::HostContext;

extern "C" {

// Slots 2 and 56.
CK_RV answerOk(HostContext) { return abi::CKR_OK; }

// Slot 12, and the multi-part signing steps 25 and 26, which the card's
// signing commands cannot provide.
CK_RV answerNotSupported(HostContext) { return abi::CKR_FUNCTION_NOT_SUPPORTED; }

// Slot 44: random data come from the card's generator, which takes no seed.
CK_RV answerSeedNotSupported(HostContext, const void*, const void*, const uint8_t*, CK_ULONG) {
    return abi::CKR_RANDOM_SEED_NOT_SUPPORTED;
}

// Slot 53 reports a count that is always 0. A null pointer has nowhere to
// receive it and is refused like slot 57 refuses one.
CK_RV storeZeroCount(HostContext, const void*, CK_ULONG* value) {
    if (value == nullptr) {
        return abi::CKR_ARGUMENTS_BAD;
    }
    *value = 0;
    return abi::CKR_OK;
}

// Slot 57 reports a flag that is always 0.
CK_RV storeZeroFlag(HostContext, uint8_t* flag) {
    if (flag == nullptr) {
        return abi::CKR_ARGUMENTS_BAD;
    }
    *flag = 0;
    return abi::CKR_OK;
}

}  // extern "C"

using namespace slots;

// Slots 27, 28 and 39 run the operations of 23, 24 and 37: the card signs
// and verifies with or without message recovery through the same commands.
constexpr abi::ModuleFunctionTable kFunctionTable = {
    /*  0 */ .readTokenSettings = korva_slot00_readTokenSettings,
    /*  1 */ .resetSecurityState = korva_slot01_resetSecurityState,
    /*  2 */ .noOperation = answerOk,
    /*  3 */ .initToken = korva_slot03_initToken,
    /*  4 */ .initUserPin = korva_slot04_initUserPin,
    /*  5 */ .setPin = korva_slot05_setPin,
    /*  6 */ .getTokenInfo = korva_slot06_getTokenInfo,
    /*  7 */ .login = korva_slot07_login,
    /*  8 */ .reserved8 = nullptr,
    /*  9 */ .getMechanismList = korva_slot09_getMechanismList,
    /* 10 */ .getMechanismInfo = korva_slot10_getMechanismInfo,
    /* 11 */ .createObject = korva_slot11_createObject,
    /* 12 */ .unsupportedOperation = answerNotSupported,
    /* 13 */ .getAttributeValue = korva_slot13_getAttributeValue,
    /* 14 */ .findObjectsInit = korva_slot14_findObjectsInit,
    /* 15 */ .findNextObject = korva_slot15_findNextObject,
    /* 16 */ .destroyObject = korva_slot16_destroyObject,
    /* 17 */ .getObjectSize = korva_slot17_getObjectSize,
    /* 18 */ .setAttributes = korva_slot18_setAttributes,
    /* 19 */ .generateKey = korva_slot19_generateKey,
    /* 20 */ .generateKeyPair = korva_slot20_generateKeyPair,
    /* 21 */ .digestInit = korva_slot21_digestInit,
    /* 22 */ .digest = korva_slot22_digest,
    /* 23 */ .signInit = korva_slot23_signInit,
    /* 24 */ .sign = korva_slot24_sign,
    /* 25 */ .signUpdate = answerNotSupported,
    /* 26 */ .signFinal = answerNotSupported,
    /* 27 */ .signRecoverInit = korva_slot23_signInit,
    /* 28 */ .signRecover = korva_slot24_sign,
    /* 29 */ .encryptInit = korva_slot29_encryptInit,
    /* 30 */ .encrypt = korva_slot30_encrypt,
    /* 31 */ .encryptUpdate = korva_slot31_encryptUpdate,
    /* 32 */ .encryptFinal = korva_slot32_encryptFinal,
    /* 33 */ .decryptInit = korva_slot33_decryptInit,
    /* 34 */ .decrypt = korva_slot34_decrypt,
    /* 35 */ .decryptUpdate = korva_slot35_decryptUpdate,
    /* 36 */ .decryptFinal = korva_slot36_decryptFinal,
    /* 37 */ .verifyInit = korva_slot37_verifyInit,
    /* 38 */ .verify = korva_slot38_verify,
    /* 39 */ .verifyRecoverInit = korva_slot37_verifyInit,
    /* 40 */ .verifyRecover = korva_slot40_verifyRecover,
    /* 41 */ .wrapKey = korva_slot41_wrapKey,
    /* 42 */ .unwrapKey = korva_slot42_unwrapKey,
    /* 43 */ .deriveKey = korva_slot43_deriveKey,
    /* 44 */ .seedRandom = answerSeedNotSupported,
    /* 45 */ .generateRandom = korva_slot45_generateRandom,
    /* 46 */ .importPkcs12 = korva_slot46_importPkcs12,
    /* 47 */ .importCertificate = korva_slot47_importCertificate,
    /* 48 */ .createCertificateRequest = korva_slot48_createCertificateRequest,
    /* 49 */ .signMessage = korva_slot49_signMessage,
    /* 50 */ .verifyMessage = korva_slot50_verifyMessage,
    /* 51 */ .initTokenWithSettings = korva_slot51_initTokenWithSettings,
    /* 52 */ .initTokenFull = korva_slot52_initTokenFull,
    /* 53 */ .queryReservedCount = storeZeroCount,
    /* 54 */ .reserved54 = nullptr,
    /* 55 */ .getTokenSettings = korva_slot55_getTokenSettings,
    /* 56 */ .noOperationQuiet = answerOk,
    /* 57 */ .queryReservedFlag = storeZeroFlag,
    /* 58 */ .reserved58 = nullptr,
    /* 59 */ .writeDataFile = korva_slot59_writeDataFile,
    /* 60 */ .readDataFile = korva_slot60_readDataFile,
    /* 61 */ .releaseBuffer = korva_slot61_releaseBuffer,
    /* 62 */ .findNextObjectAttributes = korva_slot62_findNextObjectAttributes,
    /* 63 */ .releaseAttributes = korva_slot63_releaseAttributes,
    /* 64 */ .getAllAttributes = korva_slot64_getAllAttributes,
    /* 65 */ .getDefaultAttributes = korva_slot65_getDefaultAttributes,
    /* 66 */ .getChangeCounter = korva_slot66_getChangeCounter,
    /* 67 */ .openUserSession = korva_slot67_openUserSession,
    /* 68 */ .reserved68 = nullptr,
    /* 69 */ .reserved69 = nullptr,
    /* 70 */ .releaseSessionObjects = korva_slot70_releaseSessionObjects,
    /* 71 */ .reserved71 = nullptr,
    /* 72 */ .getMechanismsWithInfo = korva_slot72_getMechanismsWithInfo,
};

}  // namespace

const abi::ModuleFunctionTable& functionTable() noexcept { return kFunctionTable; }

}  // namespace korva
