// Checks the object store's bookkeeping on a virtual card, independently
// of the module's own code paths: the class counts of the counters file
// against the records in use, every record against its body file or key
// object, the container map against the public keys and the certificate
// name map against the certificates and their keys. Each problem is one
// line naming the file or record that is wrong.
//
// The tests run it after every store operation; `korva-tool card check`
// runs it on a card file.
#pragma once

#include "sim/virtual_card.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korva::layout {

struct LayoutReport {
    std::vector<std::string> problems;
    bool ok() const { return problems.empty(); }
    std::string text() const;
};

// `settings` are the token settings the module was given (byte 0 decides
// where the certificate directory lives).
LayoutReport checkObjectStore(sim::VirtualCard& card, const std::array<uint8_t, 17>& settings);

// A card as it is: nothing to check on a card that was never initialised
// (`initialised` false); otherwise the settings are read from the card
// itself.
struct CardCheck {
    bool initialised = false;
    LayoutReport report;
};
CardCheck checkCard(sim::VirtualCard& card);

}  // namespace korva::layout
