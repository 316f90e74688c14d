// findTag over arbitrary bytes: the first byte names the wanted tag, the rest
// is the range. Every value found must lie inside the range, and a search
// inside a found value must behave as well.
#include "card/tlv.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t tag = data[0];
    const std::span<const uint8_t> range(data + 1, size - 1);
    std::span<const uint8_t> value;
    if (korva::card::findTag(range, tag, value) != korva::card::TagSearch::kFound) return 0;
    if (value.data() < range.data() || value.data() + value.size() > range.data() + range.size()) std::abort();
    std::span<const uint8_t> inner;
    (void)korva::card::findTag(value, tag, inner);
    return 0;
}
