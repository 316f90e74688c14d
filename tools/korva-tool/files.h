// Files the tool reads and writes, and the PEM armour: PEM input is
// recognised by its header, DER otherwise.
#pragma once

#include "tools/korva-tool/token_session.h"

#include <string>

namespace korva::tool {

Bytes readFile(const std::string& path);
// Written beside the target and renamed over it, so that a failure leaves
// no half-written file.
void writeFile(const std::string& path, const Bytes& bytes);

bool isPem(const Bytes& bytes);
// The DER inside PEM armour (the label is returned through `label`), or the
// bytes as they are.
Bytes derOf(const Bytes& bytes, const std::string& path, std::string* label = nullptr);
Bytes pemOf(const Bytes& der, const std::string& label);

}  // namespace korva::tool
