// korva-tool: what a token user needs beyond pkcs11-tool. It reaches the
// token through the PKCS#11 library like any application (the standard
// functions and the library's vendor table); only `card` works on card
// files directly.
#include "tools/korva-tool/commands.h"
#include "tools/korva-tool/failure.h"

#include <filesystem>
#include <iostream>

namespace {

// The library installed with the tool; else the name alone, for the
// dynamic loader's search path.
std::string defaultModule() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto beside = (program.parent_path() / KORVA_TOOL_LIBRARY_FROM_BINDIR).lexically_normal();
        if (std::filesystem::exists(beside, error)) return beside.string();
    }
    return "libkorva-pkcs11.so";
}

constexpr char kExitCodes[] =
    "Exit codes: 0 success; 1 verify refused the signature; 2 wrong command line; 3 a file cannot be read or "
    "written or holds no usable data; 4 the library cannot be loaded, or no such slot or token; 5 the token "
    "refused or failed; 6 wrong, locked or missing PIN or password; 7 card check found damage.";

}  // namespace

int main(int argc, char** argv) {
    using namespace korva::tool;
    CLI::App app("Certificate requests, signed messages, import and card files for the KORVA token", "korva-tool");
    app.set_version_flag("--version", std::string("korva-tool ") + KORVA_TOOL_VERSION);
    app.footer(kExitCodes);
    app.require_subcommand(1);

    GlobalOptions global;
    global.module = defaultModule();
    app.add_option("--module", global.module, "The PKCS#11 library to load")->capture_default_str();
    app.add_option("--slot", global.slot, "The slot ID (default: the first slot with a token)");
    auto* pin = app.add_option("--pin", global.pin,
                               "The user PIN (else --pin-file, else it is asked on the terminal without echo)");
    app.add_option("--pin-file", global.pinFile, "Read the user PIN from the first line of this file")->excludes(pin);

    addInfoCommand(app, global);
    addRequestCommand(app, global);
    addMessageCommands(app, global);
    addImportCommand(app, global);
    addCardCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::RuntimeError& result) {
        return result.get_exit_code();
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return static_cast<int>(ExitCode::Usage);
    } catch (const Failure& failure) {
        std::cerr << "korva-tool: " << failure.what() << "\n";
        return static_cast<int>(failure.code());
    } catch (const std::exception& error) {
        std::cerr << "korva-tool: " << error.what() << "\n";
        return static_cast<int>(ExitCode::Token);
    }
    return static_cast<int>(ExitCode::Ok);
}
