// Checks the object store's bookkeeping on a virtual card, independently
// of the module's own code paths: the class counts of the counters file
// against the records in use, every record against its body file or key
// object, the container map against the public keys and the certificate
// name map against the certificates and their keys.
//
//   EXPECT_STORE_CONSISTENT(host.card(), settings);
#pragma once

#include "sim/virtual_card.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korva::test {

struct LayoutReport {
    std::vector<std::string> problems;
    bool ok() const { return problems.empty(); }
    std::string text() const;
};

// `settings` are the token settings the module was given (byte 0 decides
// where the certificate directory lives).
LayoutReport checkObjectStore(sim::VirtualCard& card, const std::array<uint8_t, 17>& settings);

}  // namespace korva::test

#define EXPECT_STORE_CONSISTENT(card, settings)                                   \
    do {                                                                          \
        const ::korva::test::LayoutReport report_ = ::korva::test::checkObjectStore((card), (settings)); \
        EXPECT_TRUE(report_.ok()) << report_.text();                              \
    } while (false)
