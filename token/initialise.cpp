#include "token/initialise.h"

#include "session/credential.h"
#include "session/pin.h"
#include "session/pin_block.h"
#include "session/settings.h"

#include "card/files.h"
#include "card/identity.h"
#include "card/select.h"
#include "card/templates.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>
#include <span>

namespace korva::token {

namespace {

using namespace korva::abi;

constexpr uint8_t kLifeCycleOperational = 0x05;
constexpr uint8_t kLifeCycleAbsent = 0xFF;
constexpr std::size_t kLabelSize = 32;

// Limits of the settings values the card accepts: s4, s6 and s12 may not
// be FF; s8 (the container map's entries) and s10 are at most 15.
constexpr std::size_t kSettingsNoNone[] = {4, 6, 12};
constexpr std::size_t kSettingsAtMost15[] = {8, 10};
constexpr uint8_t kSettingsNone = 0xFF;
constexpr uint8_t kMaxContainers = 15;
constexpr std::size_t kPinObjectValue = 1;  // s1: tag 89 of the PIN object
constexpr std::size_t kContainerCount = 8;  // s8: container map entries
constexpr std::size_t kSettingsFlags = 14;  // s14: settings flags byte

constexpr uint16_t kDataFileOne = 0x0101;  // numbered data file 1, in 05 1E
constexpr uint16_t kDataFileOneSize = 100;
// Files of the application subdirectory 7F 01.
constexpr uint16_t kApplicationSubdirectory = 0x7F01;
constexpr uint16_t kCountersFile = 0x70FE;
constexpr std::size_t kCarriedCounters = 8;
constexpr std::size_t kControlFileSize = 100;

struct InitState {
    PinBlock soPin;
    std::array<uint8_t, kLabelSize> label;
    SettingsValues settings;
    std::array<uint8_t, kCarriedCounters> previousCounters{};  // filled by the rebuild step
};

// Command templates keep the byte layout of the card's command set.
// clang-format off
// CREATE FILE of a small transparent control file in 7F 01: size, access
// conditions FF FF FF 00 `access` FF, life cycle 03, proprietary A5 90 01 01.
std::array<uint8_t, 34> controlFileTemplate(uint16_t fileId, uint16_t size, uint8_t access) {
    return {0x00, 0xE0, 0x00, 0x00, 0x1D, 0x62, 0x1B, 0x80, 0x02, static_cast<uint8_t>(size >> 8),
            static_cast<uint8_t>(size), 0x82, 0x01, 0x01, 0x83, 0x02, static_cast<uint8_t>(fileId >> 8),
            static_cast<uint8_t>(fileId), 0x86, 0x06, 0xFF, 0xFF, 0xFF, 0x00, access, 0xFF, 0x8A, 0x01, 0x03,
            0xA5, 0x03, 0x90, 0x01, 0x01};
}

// CREATE FILE of the key-container bookkeeping files 70 FD and 70 00.
std::array<uint8_t, 28> mapFileTemplate(uint16_t fileId, uint8_t size, uint8_t access, uint8_t lifeCycle) {
    return {0x00, 0xE0, 0x00, 0x00, 0x17, 0x62, 0x15, 0x80, 0x01, size, 0x82, 0x01, 0x01, 0x83, 0x02,
            static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId), 0x86, 0x06, 0xFF, 0xFF,
            0xFF, 0x00, access, 0xFF, 0x8A, 0x01, lifeCycle};
}

// The twelve-byte entries of a name map: identifier low byte first, type
// (01 file, 38 directory), attribute, name padded with zeros to 8.
using NameEntry = std::array<uint8_t, 12>;
constexpr NameEntry nameEntry(uint16_t fileId, uint8_t type, uint8_t attribute, const char (&name)[9]) {
    NameEntry entry{static_cast<uint8_t>(fileId), static_cast<uint8_t>(fileId >> 8), type, attribute};
    for (std::size_t i = 0; i < 8; ++i) entry[4 + i] = static_cast<uint8_t>(name[i]);
    return entry;
}

constexpr uint8_t kCreatePinPolicy[] = {0x00, 0xE0, 0x00, 0x00, 0x1C, 0x62, 0x1A, 0x80, 0x02, 0x00, 0x0C, 0x82,
                                        0x01, 0x12, 0x83, 0x02, 0x50, 0xE2, 0x8A, 0x01, 0x03, 0x86, 0x05, 0xFF,
                                        0xFF, 0xFF, 0x00, 0xFF, 0xA5, 0x03, 0x84, 0x01, 0x03};
// The PIN policy: which references exist and which may change which.
constexpr uint8_t kPutPinPolicy1[] = {0x00, 0xDA, 0x02, 0x10, 0x06, 0x01, 0x07, 0x01, 0x05, 0x01, 0x09};
constexpr uint8_t kPutPinPolicy2[] = {0x00, 0xDA, 0x02, 0x12, 0x02, 0x01, 0x07};
constexpr uint8_t kPutPinPolicy3[] = {0x00, 0xDA, 0x02, 0x14, 0x04, 0x01, 0x05, 0x01, 0x09};

// The object directory: one entry per class directory file 50 00 ... 50 08.
constexpr uint8_t kObjectDirectory[] = {
    0xA0, 0x06, 0x30, 0x04, 0x04, 0x02, 0x50, 0x00, 0xA1, 0x06, 0x30, 0x04, 0x04, 0x02, 0x50, 0x01,
    0xA3, 0x06, 0x30, 0x04, 0x04, 0x02, 0x50, 0x03, 0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x50, 0x04,
    0xA7, 0x06, 0x30, 0x04, 0x04, 0x02, 0x50, 0x07, 0xA8, 0x06, 0x30, 0x04, 0x04, 0x02, 0x50, 0x08};

constexpr uint8_t kCreateCertificateSubdirectory[] = {
    0x00, 0xE0, 0x00, 0x00, 0x2D, 0x62, 0x2B, 0x82, 0x01, 0x38, 0x83, 0x02, 0x70, 0x01, 0x86, 0x05,
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x8A, 0x01, 0x03, 0x84, 0x10, 'm',  's',  'c',  'p',  0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x01, 0x12, 0xA5, 0x03, 0x8A,
    0x01, 0x01};

constexpr std::array<NameEntry, 3> kApplicationNames = {
    nameEntry(0x70FD, 0x01, 0x03, "cardid\0\0"),
    nameEntry(0x70FE, 0x01, 0x00, "cardcf\0\0"),
    nameEntry(0x7001, 0x38, 0x00, "mscp\0\0\0\0"),
};
constexpr NameEntry kContainerMapName = nameEntry(0x70FD, 0x01, 0x00, "cmapfile");
// clang-format on

// Runs card commands in order until one fails.
template <typename... Steps>
CardResult inOrder(Steps&&... steps) {
    CardResult rc = result::kOk;
    ((rc == result::kOk ? (rc = steps(), 0) : 0), ...);
    return rc;
}

CardResult createWithContent(CardContext& context, std::span<const uint8_t> create, std::span<const uint8_t> content) {
    return inOrder([&] { return exchange(context, create); }, [&] { return card::updateBinary(context, 0, content); },
                   [&] { return card::activateFile(context); });
}

CardResult stepDataFileOne(CardContext& context, InitState&) {
    if (const CardResult rc = card::selectDataFileDirectory(context); rc != result::kOk) return rc;
    const CardResult rc = card::selectFile(context, kDataFileOne);
    if (rc != result::kNotFound) return rc;
    return card::createNumberedDataFile(context, kDataFileOne, kDataFileOneSize);
}

CardResult stepSelectApplication(CardContext& context, InitState&) { return card::selectApplication(context); }

// An existing subdirectory goes, but the freshness counters of its counters
// file survive it: other software compares them to detect change.
CardResult stepRebuildSubdirectory(CardContext& context, InitState& state) {
    const CardResult rc = card::selectFile(context, kApplicationSubdirectory);
    if (rc == result::kOk) {
        if (card::selectFile(context, kCountersFile) != result::kOk ||
            card::readBinary(context, 0, state.previousCounters) != result::kOk) {
            state.previousCounters.fill(0);
        }
        // DELETE FILE resolves the identifier as SELECT does, so the
        // subdirectory can be named from inside itself.
        if (const CardResult deleted = card::deleteFile(context, kApplicationSubdirectory); deleted != result::kOk) {
            return deleted;
        }
    } else if (rc != result::kNotFound) {
        return rc;
    }
    return card::createApplicationSubdirectory(context);
}

CardResult stepPinPolicy(CardContext& context, InitState&) {
    return inOrder([&] { return exchange(context, kCreatePinPolicy); },
                   [&] { return exchange(context, kPutPinPolicy1); }, [&] { return exchange(context, kPutPinPolicy2); },
                   [&] { return exchange(context, kPutPinPolicy3); }, [&] { return card::activateFile(context); });
}

CardResult stepDefaultUserPin(CardContext& context, InitState&) {
    const auto block = PinBlock::fromPin(kDefaultUserPin);
    return inOrder([&] { return card::selectKeyDirectory(context); },
                   [&] { return setReferenceData(context, pin_reference::kUser, block->bytes()); },
                   [&] { return card::selectApplicationSubdirectory(context); });
}

CardResult stepDerivedCredential(CardContext& context, InitState& state) {
    Credential credential;
    if (!deriveCredential(state.soPin, credential)) return result::kUnexpected;
    return inOrder([&] { return card::createPinObject(context, state.settings[kPinObjectValue]); },
                   [&] { return setReferenceData(context, pin_reference::kDerivedCredential, credential.bytes); },
                   [&] { return card::activateFile(context); });
}

CardResult stepObjectDirectory(CardContext& context, InitState&) {
    return createWithContent(context, controlFileTemplate(0x5031, 0x30, 0xFF), kObjectDirectory);
}

// 30 3B { INTEGER 0, OCTET STRING card identity, UTF8String "LUMO",
// [0] { UTF8String label }, BIT STRING 04 60 }
CardResult stepTokenInformation(CardContext& context, InitState& state) {
    std::array<uint8_t, card::kCardIdentitySize> identity{};
    if (const CardResult rc = card::readCardIdentity(context, identity); rc != result::kOk) return rc;
    std::array<uint8_t, 61> record{};
    auto out = record.begin();
    auto put = [&](std::initializer_list<uint8_t> bytes) { out = std::copy(bytes.begin(), bytes.end(), out); };
    put({0x30, 0x3B, 0x02, 0x01, 0x00, 0x04, 0x08});
    out = std::copy(identity.begin(), identity.end(), out);
    put({0x0C, 0x04, 'L', 'U', 'M', 'O', 0xA0, 0x22, 0x0C, 0x20});
    out = std::copy(state.label.begin(), state.label.end(), out);
    put({0x03, 0x02, 0x04, 0x60});
    return createWithContent(context, controlFileTemplate(0x5032, 0x80, 0xFF), record);
}

CardResult stepSettingsRecord(CardContext& context, InitState& state) {
    std::array<uint8_t, kControlFileSize> record{0x02, 0x01};
    std::copy(state.settings.begin(), state.settings.end(), record.begin() + 2);
    return createWithContent(context, controlFileTemplate(0x50E1, kControlFileSize, 0xFF), record);
}

// The counters file starts over, but the PIN change counter and the change
// counters of the previous token move on, so that software that cached the
// old token sees the change. The store's change counter always moves: a
// fresh count from zero could meet the very value a host cached the old
// token's objects under.
std::array<uint8_t, kControlFileSize> initialCounters(const InitState& state) {
    std::array<uint8_t, kControlFileSize> counters{};
    const auto& previous = state.previousCounters;
    std::copy(previous.begin(), previous.end(), counters.begin());
    if (counters[1] != 0) ++counters[1];
    auto counter16 = [&](std::size_t at) { return static_cast<uint16_t>(counters[at] | counters[at + 1] << 8); };
    auto store16 = [&](std::size_t at, uint16_t value) {
        counters[at] = static_cast<uint8_t>(value);
        counters[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    const uint16_t containers = counter16(2);
    const uint16_t files = counter16(4);
    if (containers != 0 || files != 0) {
        store16(2, static_cast<uint16_t>(containers + 1));
        store16(4, static_cast<uint16_t>(files + 1));
    }
    store16(6, static_cast<uint16_t>(counter16(6) + 1));
    counters[8] = 1;
    counters[14] = (state.settings[kSettingsFlags] & kTrackDefaultPin) != 0 ? 1 : 0;
    return counters;
}

CardResult stepCountersFile(CardContext& context, InitState& state) {
    return createWithContent(context, controlFileTemplate(kCountersFile, kControlFileSize, 0x00),
                             initialCounters(state));
}

CardResult stepContainerFiles(CardContext& context, InitState& state) {
    std::array<uint8_t, sizeof(NameEntry) * kApplicationNames.size()> names{};
    for (std::size_t i = 0; i < kApplicationNames.size(); ++i) {
        std::copy(kApplicationNames[i].begin(), kApplicationNames[i].end(), names.begin() + i * sizeof(NameEntry));
    }
    const uint8_t containers = state.settings[kContainerCount];
    return inOrder(
        [&] { return exchange(context, mapFileTemplate(0x70FD, 0x11, 0x09, 0x05)); },
        [&] { return createWithContent(context, mapFileTemplate(0x7000, 0xFC, 0x00, 0x03), names); },
        [&] { return exchange(context, kCreateCertificateSubdirectory); },
        [&] { return card::createContainerMapFile(context, containerMapSize(containers)); },
        [&] { return createWithContent(context, mapFileTemplate(0x7000, 0xFC, 0x00, 0x03), kContainerMapName); },
        [&] { return card::activateCertificateDirectory(context); },
        [&] { return card::selectApplicationSubdirectory(context); });
}

CardResult stepActivateSubdirectory(CardContext& context, InitState&) {
    return inOrder([&] { return card::selectApplicationSubdirectory(context); },
                   [&] { return card::activateFile(context); });
}

CardResult stepFreeKeySlots(CardContext& context, InitState&) { return card::clearKeySlotBlock(context); }

using Step = CardResult (*)(CardContext&, InitState&);
constexpr Step kBuildSteps[] = {
    stepDataFileOne,       stepSelectApplication,    stepRebuildSubdirectory, stepPinPolicy,      stepDefaultUserPin,
    stepDerivedCredential, stepObjectDirectory,      stepTokenInformation,    stepSettingsRecord, stepCountersFile,
    stepContainerFiles,    stepActivateSubdirectory, stepFreeKeySlots,
};

bool validSettings(const SettingsValues& settings) {
    return std::ranges::none_of(kSettingsNoNone, [&](std::size_t i) { return settings[i] == kSettingsNone; }) &&
           std::ranges::none_of(kSettingsAtMost15, [&](std::size_t i) { return settings[i] > kMaxContainers; });
}

// 3F00 and A1 BC must exist and be operational; a card that lacks them is
// not one of ours.
CK_RV checkOperational(CardContext& context, uint16_t fileId) {
    const CardResult rc = card::selectFile(context, fileId);
    if (rc == result::kNotFound) return CKR_TOKEN_NOT_RECOGNIZED;
    if (rc != result::kOk || context.fci.lifeCycle == kLifeCycleAbsent) return CKR_FUNCTION_FAILED;
    return context.fci.lifeCycle == kLifeCycleOperational ? CKR_OK : CKR_TOKEN_NOT_RECOGNIZED;
}

CK_RV checkCardAndSoPin(const HostContext& host, const InitState& state) {
    CardContext context(host);
    if (const CK_RV rv = checkOperational(context, card::kMasterFile); rv != CKR_OK) return rv;
    if (const CK_RV rv = checkOperational(context, 0xA1BC); rv != CKR_OK) return rv;
    context.loginFlags = login_flags::kSelectPinDirectoryFirst | login_flags::kSelectApplicationAfter;
    switch (verify(context, state.soPin.bytes(), user_type::kSecurityOfficer)) {
        case result::kOk: return CKR_OK;
        case result::kPinIncorrect: return CKR_PIN_INCORRECT;
        case result::kPinBlocked: return CKR_PIN_LOCKED;
        default: return CKR_FUNCTION_FAILED;
    }
}

}  // namespace

CK_RV initToken(const HostContext& host, const InitParameters& parameters) {
    if (parameters.soPin == nullptr || parameters.label == nullptr || !isAcceptablePinLength(parameters.soPinLength) ||
        !validSettings(parameters.settings)) {
        return CKR_ARGUMENTS_BAD;
    }
    auto soPin = PinBlock::fromPin(std::span(parameters.soPin, parameters.soPinLength));
    InitState state{*soPin, {}, parameters.settings};
    std::copy_n(parameters.label, kLabelSize, state.label.begin());

    if (const CK_RV rv = checkCardAndSoPin(host, state); rv != CKR_OK) return rv;
    // Each step works in a fresh context but on the directory the previous
    // step left selected on the card: files are created where the card is.
    for (const Step step : kBuildSteps) {
        CardContext context(host);
        if (step(context, state) != result::kOk) return CKR_FUNCTION_FAILED;
    }
    return CKR_OK;
}

}  // namespace korva::token
