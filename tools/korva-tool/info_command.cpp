// korva-tool info: slots, tokens, PIN states, free memory, objects by class.
#include "tools/korva-tool/commands.h"

#include "tools/korva-tool/failure.h"

#include <iostream>
#include <map>
#include <string_view>

namespace korva::tool {
namespace {

std::string fixedText(const unsigned char* text, size_t size) {
    std::string value(reinterpret_cast<const char*>(text), size);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
    return value;
}

std::string pinState(CK_FLAGS flags, CK_FLAGS countLow, CK_FLAGS finalTry, CK_FLAGS locked) {
    if (flags & locked) return "locked";
    if (flags & finalTry) return "one try left";
    if (flags & countLow) return "a wrong PIN was entered";
    return "ok";
}

std::string memory(CK_ULONG free, CK_ULONG total) {
    if (free == CK_UNAVAILABLE_INFORMATION) return "not reported";
    std::string text = std::to_string(free) + " bytes free";
    if (total != CK_UNAVAILABLE_INFORMATION) text += " of " + std::to_string(total);
    return text;
}

constexpr std::pair<CK_OBJECT_CLASS, const char*> kClasses[] = {
    {CKO_CERTIFICATE, "certificates"}, {CKO_PUBLIC_KEY, "public keys"}, {CKO_PRIVATE_KEY, "private keys"},
    {CKO_SECRET_KEY, "secret keys"},   {CKO_DATA, "data objects"},
};

void showObjects(const TokenSession& session, bool loggedIn) {
    for (const auto& [objectClass, name] : kClasses) {
        const auto objects = session.find(objectClass);
        std::cout << "  " << name << ": " << objects.size();
        if (!loggedIn && (objectClass == CKO_PRIVATE_KEY || objectClass == CKO_SECRET_KEY))
            std::cout << " (private ones are counted after login: --pin or --pin-file)";
        std::cout << "\n";
        for (const CK_OBJECT_HANDLE object : objects) {
            const auto id = session.attribute(object, CKA_ID);
            const auto label = session.attribute(object, CKA_LABEL);
            std::cout << "    id " << (id ? idText(*id) : "(none)");
            if (label) std::cout << "  label \"" << std::string(label->begin(), label->end()) << "\"";
            std::cout << "\n";
        }
    }
}

void showToken(const Library& library, CK_SLOT_ID slot, const GlobalOptions& global) {
    CK_TOKEN_INFO token{};
    check("C_GetTokenInfo (slot " + std::to_string(slot) + ")", library->C_GetTokenInfo(slot, &token));
    std::cout << "  token: \"" << fixedText(token.label, sizeof token.label) << "\", "
              << fixedText(token.manufacturerID, sizeof token.manufacturerID) << " "
              << fixedText(token.model, sizeof token.model) << ", serial "
              << fixedText(token.serialNumber, sizeof token.serialNumber) << "\n"
              << "  initialised: " << ((token.flags & CKF_TOKEN_INITIALIZED) ? "yes" : "no") << "\n"
              << "  user PIN: "
              << ((token.flags & CKF_USER_PIN_INITIALIZED)
                      ? pinState(token.flags, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED)
                      : "not set")
              << ((token.flags & CKF_USER_PIN_TO_BE_CHANGED) ? ", to be changed" : "") << "\n"
              << "  SO PIN: " << pinState(token.flags, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED)
              << "\n"
              << "  memory: " << memory(token.ulFreePublicMemory, token.ulTotalPublicMemory) << "\n";
    if (!(token.flags & CKF_TOKEN_INITIALIZED)) return;
    ConnectionOptions options = global.connection();
    options.slot = slot;
    TokenSession session(library, options, false);
    const bool logIn = options.pin.has_value();
    if (logIn) session.login(options);
    showObjects(session, logIn);
}

void info(const GlobalOptions& global) {
    const Library library(global.module);
    CK_INFO about{};
    check("C_GetInfo", library->C_GetInfo(&about));
    std::cout << "library: " << fixedText(about.libraryDescription, sizeof about.libraryDescription) << " "
              << int(about.libraryVersion.major) << "." << int(about.libraryVersion.minor) << " (" << global.module
              << ")\n";
    auto slots = library.slots(false);
    if (global.slot) {
        if (std::find(slots.begin(), slots.end(), *global.slot) == slots.end())
            throw Failure(ExitCode::Library, "no slot " + std::to_string(*global.slot));
        slots = {*global.slot};
    }
    for (const CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO about_slot{};
        check("C_GetSlotInfo (slot " + std::to_string(slot) + ")", library->C_GetSlotInfo(slot, &about_slot));
        std::cout << "slot " << slot << ": " << fixedText(about_slot.slotDescription, sizeof about_slot.slotDescription)
                  << "\n";
        if (about_slot.flags & CKF_TOKEN_PRESENT)
            showToken(library, slot, global);
        else
            std::cout << "  no token\n";
    }
}

}  // namespace

void addInfoCommand(CLI::App& app, const GlobalOptions& global) {
    CLI::App* command = app.add_subcommand("info",
                                           "Show the slots, their tokens, PIN states, free memory and "
                                           "objects by class (private objects with --pin or --pin-file)");
    command->callback([&global] { info(global); });
}

}  // namespace korva::tool
