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
#include <test_host.h>

#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
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
              << "  slot 44 (seed random):        "
              << rvText(tour.table.seedRandom(host, nullptr, nullptr, nullptr, 0)) << "\n"
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
    const std::string userPin = "47102958";  // the user PIN of a newly initialised token
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
              << "  flags:          " << flags << ((info.flags & abi::CKF_TOKEN_INITIALIZED) ? " (initialised)" : " (not initialised)")
              << "\n"
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
    const std::filesystem::path cardFile = argc == 2 ? argv[1] : "out/token.card";
    try {
        std::unique_ptr<TestHost> host = openCard(cardFile);
        std::cout << "Module " << korva::test::ModuleLibrary::builtPath() << "\n";
        Tour tour{*host, *host->table()};
        if (argc >= 3) tour.soPin = argv[2];
        if (argc == 4) tour.label = argv[3];
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
