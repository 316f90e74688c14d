// Arbitrary bytes into the import slots, through the module's table, on an
// initialised virtual token. The top bit of the first byte chooses the slot:
// clear, slot 46 with a PKCS#12 file whose password is the next (first byte
// & 0x0F) bytes; set, slot 47 with the rest as a DER certificate. Besides
// not crashing, a refused import must leave the card's file tree exactly as
// it was.
#include <korva/module.h>

#include "sim/virtual_card.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" const korva::abi::ModuleFunctionTable* GetFunctionList(void);

namespace {

using namespace korva;
using sim::VirtualCard;

constexpr uint64_t kCardSeed = 23;
constexpr const char* kSoPin = "87654321";
constexpr const char* kUserPin = "47102958";  // what initialisation sets

VirtualCard* currentCard = nullptr;

uint32_t transmit(abi::HostContext, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                  uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2, uint32_t, uint32_t) {
    const sim::Answer answer = currentCard->transmit({command, commandLength});
    if (answer.data.size() > *responseLength) return 1;
    std::copy(answer.data.begin(), answer.data.end(), response);
    *responseLength = uint32_t(answer.data.size());
    *sw1 = answer.sw1;
    *sw2 = answer.sw2;
    return 0;
}

const abi::ModuleFunctionTable& table() { return *GetFunctionList(); }
abi::HostContext host() { return {0, 0, &transmit, nullptr}; }

struct Token {
    VirtualCard card;
    std::array<uint8_t, KORVA_TOKEN_SETTINGS_SIZE> settings{};
};

// Initialising costs a PIN derivation: done once, then copied per input.
const Token& initialisedToken() {
    static const Token token = [] {
        sim::CardOptions options;
        options.randomSeed = kCardSeed;
        options.pinKeyCost = 1;
        Token made{VirtualCard::makeFresh(options), {}};
        currentCard = &made.card;
        std::string label = "import fuzz";
        label.resize(32, ' ');
        abi::CK_ULONG length = KORVA_TOKEN_SETTINGS_SIZE;
        if (table().initToken(host(), reinterpret_cast<const uint8_t*>(kSoPin), 8,
                              reinterpret_cast<const uint8_t*>(label.data())) != abi::CKR_OK ||
            table().readTokenSettings(host(), made.settings.data(), &length) != abi::CKR_OK) {
            std::abort();
        }
        return made;
    }();
    return token;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Token& token = initialisedToken();
    VirtualCard card = token.card;
    currentCard = &card;
    std::array<uint8_t, KORVA_TOKEN_SETTINGS_SIZE> settingsBytes = token.settings;
    abi::HostByteVector settings{};
    settings.begin = settingsBytes.data();
    settings.end = settingsBytes.data() + settingsBytes.size();
    abi::LoginRecord user{};
    user.userType = KORVA_USER_TYPE_USER;
    user.pinLength = uint32_t(std::strlen(kUserPin));
    std::memcpy(user.pin, kUserPin, user.pinLength);

    const std::string before = card.dumpTree();
    abi::CK_RV rv = abi::CKR_OK;
    if ((data[0] & 0x80) == 0) {
        const size_t passwordLength = std::min<size_t>(data[0] & 0x0F, size - 1);
        const auto* password = reinterpret_cast<const char*>(data + 1);
        const uint8_t* file = data + 1 + passwordLength;
        const size_t fileLength = size - 1 - passwordLength;
        abi::ObjectSummary certificate{}, publicKey{}, privateKey{};
        rv = table().importPkcs12(host(), &user, &settings, fileLength == 0 ? nullptr : file, uint32_t(fileLength),
                                  password, uint32_t(passwordLength), &certificate, &publicKey, &privateKey);
    } else {
        const uint8_t id[] = {'f', 'u', 'z', 'z'};
        rv = table().importCertificate(host(), &user, &settings, "fuzzed", id, sizeof id, size > 1 ? data + 1 : nullptr,
                                       uint32_t(size - 1));
    }
    if (rv != abi::CKR_OK && card.dumpTree() != before) std::abort();
    currentCard = nullptr;
    return 0;
}
