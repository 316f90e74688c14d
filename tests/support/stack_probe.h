// Whether a secret outlives the stack frames that held it: a buffer laid
// over the frames just left shows what they left behind. Call the code
// under test once before the probed call, so that the dynamic linker's own
// stack writes on the first call are not taken for the code's.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace korva::test {

[[gnu::noinline, gnu::no_sanitize_address]] inline bool stackBelowHolds(std::span<const uint8_t> wanted) {
    std::array<uint8_t, 16384> probe;
    asm volatile("" : : "r"(probe.data()) : "memory");
    return std::search(probe.begin(), probe.end(), wanted.begin(), wanted.end()) != probe.end();
}

}  // namespace korva::test
