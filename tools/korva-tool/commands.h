// The subcommands of korva-tool, each added to the command line by one
// function; the options before the subcommand are shared.
#pragma once

#include "tools/korva-tool/token_session.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

namespace korva::tool {

struct GlobalOptions {
    std::string module;
    std::optional<CK_SLOT_ID> slot;
    std::optional<std::string> pin;
    std::optional<std::string> pinFile;

    ConnectionOptions connection() const;
};

void addInfoCommand(CLI::App& app, const GlobalOptions& global);
void addRequestCommand(CLI::App& app, const GlobalOptions& global);
void addMessageCommands(CLI::App& app, const GlobalOptions& global);
void addImportCommand(CLI::App& app, const GlobalOptions& global);
void addCardCommand(CLI::App& app);

// Where a key or certificate is named by --id HEX or --label TEXT.
struct ObjectChoice {
    std::optional<std::string> id;
    std::optional<std::string> label;

    void addOptions(CLI::App& command, const std::string& what);
    std::optional<Bytes> idBytes() const;
};

}  // namespace korva::tool
