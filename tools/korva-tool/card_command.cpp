// korva-tool card: virtual card files themselves, not through the library:
// a factory-fresh card, the object store's layout check, a readable dump.
#include "tools/korva-tool/commands.h"

#include "tools/korva-tool/failure.h"

#include "sim/virtual_card.h"
#include "tools/layout_check/layout_check.h"

#include <filesystem>
#include <iostream>

namespace korva::tool {
namespace {

struct CardFileOptions {
    std::string file;
    bool force = false;
    bool gost2001Only = false;
};

sim::VirtualCard loadCard(const std::string& file) {
    try {
        return sim::VirtualCard::load(file);
    } catch (const std::exception& error) {
        throw Failure(ExitCode::CardFile, "cannot load the card file " + file + ": " + error.what());
    }
}

void newCard(const CardFileOptions& options) {
    if (std::filesystem::exists(options.file) && !options.force)
        throw Failure(ExitCode::File, options.file + " exists; --force replaces it");
    sim::CardOptions card;
    card.gost2012 = !options.gost2001Only;
    try {
        sim::VirtualCard::makeFresh(card).save(options.file);
    } catch (const std::exception& error) {
        throw Failure(ExitCode::File, "cannot write " + options.file + ": " + error.what());
    }
    std::cout << "factory-fresh card written to " << options.file << "\n";
}

void checkCard(const CardFileOptions& options) {
    sim::VirtualCard card = loadCard(options.file);
    const layout::CardCheck result = layout::checkCard(card);
    if (!result.initialised) {
        std::cout << options.file << ": factory-fresh (no token initialised), nothing to check\n";
        return;
    }
    if (result.report.ok()) {
        std::cout << options.file << ": the object store is consistent\n";
        return;
    }
    std::cout << options.file << ": the object store is damaged:\n" << result.report.text();
    throw CLI::RuntimeError(static_cast<int>(ExitCode::CardFile));
}

void dumpCard(const CardFileOptions& options) {
    const sim::VirtualCard card = loadCard(options.file);
    std::cout << card.dumpTree();
}

}  // namespace

void addCardCommand(CLI::App& app) {
    CLI::App* card = app.add_subcommand("card", "Work on virtual card files directly (not through the library)");
    card->require_subcommand(1);

    auto fresh = std::make_shared<CardFileOptions>();
    CLI::App* make = card->add_subcommand("new", "Write a factory-fresh card file");
    make->add_option("FILE", fresh->file, "The card file")->required();
    make->add_flag("--force", fresh->force, "Replace an existing file");
    make->add_flag("--gost2001-only", fresh->gost2001Only, "A card without GOST R 34.10-2012 support");
    make->callback([fresh] { newCard(*fresh); });

    auto checked = std::make_shared<CardFileOptions>();
    CLI::App* check_ = card->add_subcommand("check",
                                            "Check the object store of a card file: counters, records, "
                                            "bodies, key files, container and name maps; exit 7 and "
                                            "name every problem when it is damaged");
    check_->add_option("FILE", checked->file, "The card file")->required();
    check_->callback([checked] { checkCard(*checked); });

    auto dumped = std::make_shared<CardFileOptions>();
    CLI::App* dump = card->add_subcommand("dump",
                                          "Print the card's file tree, records, data objects and PIN "
                                          "counters as text");
    dump->add_option("FILE", dumped->file, "The card file")->required();
    dump->callback([dumped] { dumpCard(*dumped); });
}

}  // namespace korva::tool
