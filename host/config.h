// Which card files the library offers as slots.
//
//   KORVA_CARDS=/a.card:/b.card      one slot per file, in this order
//   KORVA_PKCS11_CONFIG=/path/file    a configuration file (below)
//   ~/.config/korva/pkcs11.conf       the configuration file when none is named
//                                     ($XDG_CONFIG_HOME/korva/pkcs11.conf)
//   ~/.local/share/korva/token.card   the one card when nothing is configured
//                                     ($XDG_DATA_HOME/korva/token.card)
//
// Configuration file: one `card = <path>` line per slot; `#` starts a
// comment; a relative path is taken from the file's own folder and `~/`
// from the home folder.
//
// Which kinds of reader give slots: the card files above (slots 0, 1, ...)
// and then every PC/SC reader of the machine, both by default. One of them
// alone by `KORVA_READERS=virtual` or `KORVA_READERS=pcsc`, or by a line
// `readers = virtual` or `readers = pcsc` in the configuration file (the
// environment wins).
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

namespace korva::host {

// The card files named in a configuration text. Lines that are not
// `card = <path>` (after comments and blanks are removed) are ignored.
std::vector<std::filesystem::path> parseCardConfiguration(std::istream& text, const std::filesystem::path& folder);

// The card files of this process, from its environment; never empty.
std::vector<std::filesystem::path> configuredCardFiles();

struct ReaderKinds {
    bool virtualCards = true;
    bool pcsc = true;
};
// The reader kinds named by `readers = ...` in a configuration text (both
// when none is named; an unknown name counts as none).
ReaderKinds parseReaderKinds(std::istream& text);
ReaderKinds configuredReaderKinds();

}  // namespace korva::host
