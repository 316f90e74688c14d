// The token tour: opens a virtual card file (making a fresh card the first
// time), loads the token module the way a host does (dlopen, GetFunctionList,
// slots through the table only) and prints what the module reports about the
// token. The card file is saved back at the end, so the next run continues
// where this one stopped.
//
//   korva_token_tour [card-file [so-pin [label]]]
//       defaults: out/token.card, the factory SO PIN, "KORVA token tour"
//
// Each step is one function in kSteps; add a step by writing a function and
// listing it there.
#include "examples/tour_ciphers.h"
#include "examples/tour_common.h"
#include "examples/tour_messages.h"
#include "examples/tour_objects.h"
#include "examples/tour_secrets.h"

#include "tests/support/test_host.h"

#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace abi = korva::abi;
using korva::test::TestHost;

struct Tour {
    TestHost& host;
    const abi::ModuleFunctionTable& table;
    std::string soPin = "87654321";  // a factory-fresh card's SO PIN
    std::string label = "KORVA token tour";
    std::filesystem::path outputDirectory = ".";  // beside the card file
};

std::string rvText(abi::CK_RV rv) {
    struct Name {
        abi::CK_RV rv;
        const char* name;
    };
    static constexpr Name kNames[] = {
        {abi::CKR_OK, "CKR_OK"},
        {abi::CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
        {abi::CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {abi::CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {abi::CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {abi::CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
        {abi::CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {abi::CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
        {abi::CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {abi::CKR_RANDOM_SEED_NOT_SUPPORTED, "CKR_RANDOM_SEED_NOT_SUPPORTED"},
        {abi::CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
        {abi::CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
        {abi::CKR_SIGNATURE_INVALID, "CKR_SIGNATURE_INVALID"},
    };
    char text[48];
    std::snprintf(text, sizeof text, "0x%X", rv);
    for (const Name& name : kNames)
        if (name.rv == rv) return std::string(name.name) + " (" + text + ")";
    return text;
}

// A blank-padded PKCS#11 text field without its padding.
template <size_t N>
std::string field(const uint8_t (&bytes)[N]) {
    std::string text(reinterpret_cast<const char*>(bytes), N);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string memoryText(abi::CK_ULONG value) {
    return value == 0xFFFFFFFFu ? std::string("unknown") : std::to_string(value) + " bytes";
}

void showTable(Tour& tour) {
    // The table is 73 function pointers; a null one is an operation the
    // module does not provide.
    using Entry = void (*)();
    static_assert(sizeof(abi::ModuleFunctionTable) == KORVA_SLOT_COUNT * sizeof(Entry));
    Entry entries[KORVA_SLOT_COUNT];
    std::memcpy(entries, &tour.table, sizeof entries);
    std::string absent;
    int present = 0;
    for (int slot = 0; slot < KORVA_SLOT_COUNT; ++slot) {
        if (entries[slot] != nullptr) {
            ++present;
        } else {
            absent += (absent.empty() ? "" : ", ") + std::to_string(slot);
        }
    }
    std::cout << "  slots present: " << present << " of " << KORVA_SLOT_COUNT << "\n"
              << "  null slots:    " << absent << "\n";
}

void showConstantSlots(Tour& tour) {
    const abi::HostContext host = tour.host.context();
    std::cout << "  slot 2  (no operation):       " << rvText(tour.table.noOperation(host)) << "\n"
              << "  slot 12 (unsupported):        " << rvText(tour.table.unsupportedOperation(host)) << "\n"
              << "  slot 44 (seed random):        " << rvText(tour.table.seedRandom(host, nullptr, nullptr, nullptr, 0))
              << "\n"
              << "  slot 56 (quiet no operation): " << rvText(tour.table.noOperationQuiet(host)) << "\n";
}

// A token is initialised once (slot 3); every run then logs the user in with
// the PIN initialisation gives it (slot 7).
void initialiseAndLogIn(Tour& tour) {
    abi::CK_TOKEN_INFO info{};
    abi::CK_RV rv = tour.table.getTokenInfo(tour.host.context(), tour.host.settings(), &info);
    if (rv == abi::CKR_OK && (info.flags & abi::CKF_TOKEN_INITIALIZED) != 0) {
        std::cout << "  the token is already initialised\n";
    } else {
        std::string label = tour.label.substr(0, 32);
        label.resize(32, ' ');
        rv = tour.table.initToken(tour.host.context(), reinterpret_cast<const uint8_t*>(tour.soPin.data()),
                                  static_cast<abi::CK_ULONG>(tour.soPin.size()),
                                  reinterpret_cast<const uint8_t*>(label.data()));
        std::cout << "  slot 3 (initialise, label \"" << tour.label << "\"): " << rvText(rv) << "\n";
    }
    const std::string userPin = korva::tour::kUserPin;
    rv = tour.table.login(tour.host.context(), tour.host.settings(), reinterpret_cast<const uint8_t*>(userPin.data()),
                          static_cast<abi::CK_ULONG>(userPin.size()), 1);
    std::cout << "  slot 7 (user login): " << rvText(rv) << "\n";
}

void showTokenInfo(Tour& tour) {
    abi::CK_TOKEN_INFO info{};
    const abi::CK_RV rv = tour.table.getTokenInfo(tour.host.context(), tour.host.settings(), &info);
    std::cout << "  slot 6 (token information): " << rvText(rv) << "\n";
    if (rv != abi::CKR_OK) return;
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%X", info.flags);
    std::cout << "  label:          \"" << field(info.label) << "\"\n"
              << "  manufacturer:   " << field(info.manufacturerID) << "\n"
              << "  model:          " << field(info.model) << "\n"
              << "  serial number:  " << field(info.serialNumber) << "\n"
              << "  flags:          " << flags
              << ((info.flags & abi::CKF_TOKEN_INITIALIZED) ? " (initialised)" : " (not initialised)") << "\n"
              << "  PIN length:     " << info.ulMinPinLen << " to " << info.ulMaxPinLen << "\n"
              << "  memory:         " << memoryText(info.ulTotalPublicMemory) << " total, "
              << memoryText(info.ulFreePublicMemory) << " free\n";
}

void showTokenSettings(Tour& tour) {
    uint8_t settings[KORVA_TOKEN_SETTINGS_SIZE] = {};
    abi::CK_ULONG length = sizeof settings;
    const abi::CK_RV rv = tour.table.readTokenSettings(tour.host.context(), settings, &length);
    std::cout << "  slot 0 (settings record): " << rvText(rv) << "\n";
    if (rv != abi::CKR_OK) {
        std::cout << "  (an uninitialised token has no settings file)\n";
        return;
    }
    const korva::test::Bytes bytes(settings, settings + length);
    tour.host.setSettings(bytes);
    std::cout << "  settings bytes: " << korva::test::hex(bytes) << "\n";
}

void showMechanisms(Tour& tour) {
    abi::CK_ULONG count = 0;
    abi::CK_RV rv = tour.table.getMechanismsWithInfo(tour.host.context(), nullptr, nullptr, &count);
    if (rv == abi::CKR_OK) {
        std::vector<abi::MechanismInfoEntry> entries(count);
        rv = tour.table.getMechanismsWithInfo(tour.host.context(), nullptr, entries.data(), &count);
        entries.resize(rv == abi::CKR_OK ? count : 0);
        std::cout << "  slot 72 (mechanisms with information): " << rvText(rv) << ", " << entries.size()
                  << " mechanisms\n";
        for (const auto& entry : entries) {
            std::printf("    0x%08X  key size %u to %u  flags 0x%X\n", entry.type, entry.ulMinKeySize,
                        entry.ulMaxKeySize, entry.flags);
        }
        std::fflush(stdout);
        return;
    }
    std::cout << "  slot 72 (mechanisms with information): " << rvText(rv) << "\n";
}

// --- A GOST R 34.10-2012 key pair, a signature and its check by OpenSSL ------

using korva::test::Bytes;

Bytes derOf(uint8_t tag, const Bytes& content) {
    Bytes out = {tag};
    if (content.size() < 0x80) {
        out.push_back(uint8_t(content.size()));
    } else {
        out.push_back(0x81);  // every part here is shorter than 256 bytes
        out.push_back(uint8_t(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The SubjectPublicKeyInfo of a GOST R 34.10-2012 256-bit key on the
// CryptoPro A curve hashed with GOST R 34.11-2012, as PEM. The token's
// CKA_VALUE (X then Y, each little-endian) is the encoding OpenSSL's GOST
// engine uses inside the OCTET STRING.
std::string gostPublicKeyPem(const Bytes& value) {
    const Bytes algorithm = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x01};
    const Bytes curve = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
    const Bytes digest = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    const Bytes spki = derOf(0x30, joined({derOf(0x30, joined({algorithm, derOf(0x30, joined({curve, digest}))})),
                                           derOf(0x03, joined({{0x00}, derOf(0x04, value)}))}));
    std::string base64(4 * ((spki.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), spki.data(), int(spki.size()));
    base64.resize(size_t(length));
    std::string pem = "-----BEGIN PUBLIC KEY-----\n";
    for (size_t at = 0; at < base64.size(); at += 64) pem += base64.substr(at, 64) + "\n";
    return pem + "-----END PUBLIC KEY-----\n";
}

void writeFile(const std::filesystem::path& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), std::streamsize(size));
}

Bytes publicKeyValue(Tour& tour, const abi::ObjectHandle& key) {
    abi::CK_ATTRIBUTE* attributes = nullptr;
    abi::CK_ULONG count = 0;
    abi::CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    const abi::CK_RV rv = tour.table.getAllAttributes(tour.host.context(), nullptr, tour.host.settings(), &key,
                                                      &attributes, &count, &objectClass, &isPrivate);
    std::cout << "  slot 64 (public key's attributes): " << rvText(rv) << "\n";
    Bytes value;
    for (abi::CK_ULONG i = 0; rv == abi::CKR_OK && i < count; ++i) {
        if (attributes[i].type == abi::CKA_VALUE && attributes[i].pValue != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(attributes[i].pValue);
            value.assign(bytes, bytes + attributes[i].ulValueLen);
        }
    }
    if (rv == abi::CKR_OK) tour.table.releaseAttributes(attributes, count);
    return value;
}

void signWithNewKeyPair(Tour& tour) {
    const std::string pin = korva::tour::kUserPin;
    abi::LoginRecord* user = tour.host.login(1, pin);
    const std::string id = "token tour";
    abi::CK_BBOOL yes = 1;
    abi::CK_ATTRIBUTE publicTemplate[] = {
        {abi::CKA_TOKEN, &yes, 1},
        {abi::CKA_ID, const_cast<char*>(id.data()), abi::CK_ULONG(id.size())},
        {abi::CKA_LABEL, const_cast<char*>(id.data()), abi::CK_ULONG(id.size())},
    };
    abi::CK_ATTRIBUTE privateTemplate[] = {
        {abi::CKA_TOKEN, &yes, 1},
        {abi::CKA_PRIVATE, &yes, 1},
        {abi::CKA_ID, const_cast<char*>(id.data()), abi::CK_ULONG(id.size())},
        {abi::CKA_LABEL, const_cast<char*>(id.data()), abi::CK_ULONG(id.size())},
    };
    // Without parameter sets the token makes a GOST R 34.10-2012 256-bit key
    // on the CryptoPro A curve, hashed with GOST R 34.11-2012.
    const abi::CK_MECHANISM generation{abi::CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    abi::ObjectHandle publicKey{}, privateKey{};
    abi::ObjectSummary publicSummary{}, privateSummary{};
    abi::CK_RV rv =
        tour.table.generateKeyPair(tour.host.context(), user, tour.host.settings(), publicTemplate, 3, privateTemplate,
                                   4, &generation, &publicKey, &privateKey, &publicSummary, &privateSummary);
    std::cout << "  slot 20 (GOST R 34.10-2012 key pair): " << rvText(rv) << ", public key "
              << korva::test::hex({publicKey.record, publicKey.directoryHigh, publicKey.directoryLow})
              << ", private key "
              << korva::test::hex({privateKey.record, privateKey.directoryHigh, privateKey.directoryLow}) << "\n";
    if (rv != abi::CKR_OK) return;
    const Bytes value = publicKeyValue(tour, publicKey);
    if (value.size() != 64) return;

    // The token hashes the message with GOST R 34.11-2012 and signs on the card.
    const std::string message = "Signed on the KORVA token by the token tour.\n";
    const auto* data = reinterpret_cast<const uint8_t*>(message.data());
    const abi::CK_MECHANISM signing{abi::CKM_GOSTR3410_WITH_GOSTR3411_12_256, nullptr, 0};
    abi::OperationRecord* state = tour.host.operation();
    Bytes signature(64);
    abi::CK_ULONG length = abi::CK_ULONG(signature.size());
    rv = tour.table.signInit(tour.host.context(), nullptr, nullptr, &signing, &privateKey, state);
    if (rv == abi::CKR_OK) {
        rv = tour.table.sign(tour.host.context(), user, nullptr, data, abi::CK_ULONG(message.size()), signature.data(),
                             &length, &privateKey, state, signing.mechanism);
    }
    std::cout << "  slots 23, 24 (sign the message): " << rvText(rv) << "\n";
    if (rv != abi::CKR_OK || length != signature.size()) return;
    state = tour.host.operation();
    rv = tour.table.verifyInit(tour.host.context(), nullptr, nullptr, &signing, &publicKey, state);
    if (rv == abi::CKR_OK) {
        rv = tour.table.verify(tour.host.context(), user, nullptr, data, abi::CK_ULONG(message.size()),
                               signature.data(), length, &publicKey, state, signing.mechanism);
    }
    std::cout << "  slots 37, 38 (verify it on the token): " << rvText(rv) << "\n";

    const std::string pem = gostPublicKeyPem(value);
    const std::filesystem::path keyFile = tour.outputDirectory / "tour-key.pem";
    const std::filesystem::path signatureFile = tour.outputDirectory / "tour-signature.bin";
    const std::filesystem::path messageFile = tour.outputDirectory / "tour-message.txt";
    writeFile(keyFile, pem.data(), pem.size());
    writeFile(signatureFile, signature.data(), signature.size());
    writeFile(messageFile, message.data(), message.size());
    std::cout << "  signature (s then r): " << korva::test::hex(signature) << "\n"
              << "  public key:\n"
              << pem << "  written: " << keyFile.string() << ", " << signatureFile.string() << ", "
              << messageFile.string() << "\n"
              << "  check with: openssl dgst -engine gost -md_gost12_256 -verify " << keyFile.string() << " -signature "
              << signatureFile.string() << " " << messageFile.string() << "\n";

    korva::tour::makeRequestAndMessage(tour.host, user, publicKey, privateKey, tour.outputDirectory);

    // The files keep what OpenSSL needs; the pair leaves the token again, so
    // that the tour can run on the same card any number of times.
    const abi::CK_RV first = tour.table.destroyObject(tour.host.context(), user, tour.host.settings(), &privateKey);
    const abi::CK_RV second = tour.table.destroyObject(tour.host.context(), user, tour.host.settings(), &publicKey);
    std::cout << "  slot 16 (destroy the pair): " << rvText(first) << ", " << rvText(second) << "\n";
}

struct Step {
    const char* title;
    void (*run)(Tour&);
};

constexpr Step kSteps[] = {
    {"The module's slot table", showTable},
    {"Slots with constant answers", showConstantSlots},
    {"Initialisation and login", initialiseAndLogIn},
    {"Token information", showTokenInfo},
    {"Token settings", showTokenSettings},
    {"Mechanisms", showMechanisms},
    {"A key pair, a signature and its check", signWithNewKeyPair},
    {"Objects on the token", [](Tour& tour) { korva::tour::showObjects(tour.host); }},
    {"AES and GOST 28147-89 round trips", [](Tour& tour) { korva::tour::showCiphers(tour.host); }},
    {"Secret keys and import",
     [](Tour& tour) { korva::tour::showSecretKeysAndImport(tour.host, tour.outputDirectory); }},
};

std::unique_ptr<TestHost> openCard(const std::filesystem::path& cardFile) {
    if (std::filesystem::exists(cardFile)) {
        std::cout << "Card file " << cardFile.string() << ": opened\n";
        return TestHost::withCardFile(cardFile);
    }
    std::cout << "Card file " << cardFile.string() << ": new, a factory-fresh card\n";
    return std::make_unique<TestHost>();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 4) {
        std::cerr << "usage: " << argv[0] << " [card-file [so-pin [label]]]\n";
        return 2;
    }
    const std::filesystem::path cardFile = argc >= 2 ? argv[1] : "out/token.card";
    try {
        std::unique_ptr<TestHost> host = openCard(cardFile);
        std::cout << "Module " << korva::test::ModuleLibrary::builtPath() << "\n";
        Tour tour{*host, *host->table()};
        if (argc >= 3) tour.soPin = argv[2];
        if (argc == 4) tour.label = argv[3];
        if (cardFile.has_parent_path()) {
            std::filesystem::create_directories(cardFile.parent_path());
            tour.outputDirectory = cardFile.parent_path();
        }
        for (const Step& step : kSteps) {
            std::cout << "\n" << step.title << "\n";
            const size_t before = host->exchanges().size();
            step.run(tour);
            std::cout << "  card exchanges: " << host->exchanges().size() - before << "\n";
        }
        if (cardFile.has_parent_path()) std::filesystem::create_directories(cardFile.parent_path());
        host->saveCard(cardFile);
        std::cout << "\nCard saved to " << cardFile.string() << " (" << host->exchanges().size()
                  << " card exchanges in all)\n";
    } catch (const std::exception& error) {
        std::cerr << "token tour: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
