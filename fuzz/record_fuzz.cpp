// The attribute-record readers over arbitrary bytes: the first four bytes
// name the attribute type to look up, the rest is a directory record as the
// card returned it. Every value found must lie inside the record, iteration
// must make progress, and decoding and template filling must stay inside
// their buffers.
#include "objects/attribute_record.h"
#include "objects/attribute_set.h"

#include <cstdlib>

namespace {

void requireInside(std::span<const uint8_t> value, std::span<const uint8_t> record) {
    if (value.data() == nullptr && value.empty()) return;
    if (value.data() < record.data() || value.data() + value.size() > record.data() + record.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korva::objects;
    if (size < 4) return 0;
    const uint32_t type = readBigEndian32(data);
    const std::span<const uint8_t> record(data + 4, size - 4);

    const RecordLookup lookup = findInRecord(record, type);
    if (lookup.result == LookupResult::Found) requireInside(lookup.value, record);

    std::span<const uint8_t> rest = record;
    RecordEntry entry;
    while (nextEntry(rest, entry) == EntryResult::Entry) {
        requireInside(entry.value, record);
        if (rest.size() + korva::objects::kEntryHeaderSize > record.size()) std::abort();
    }

    AttributeSet set;
    (void)decodeRecord(record, set);
    if (set.size() > record.size() / kEntryHeaderSize) std::abort();

    uint8_t small[2], large[260];
    uint32_t number = 0;
    korva::abi::CK_ATTRIBUTE tmpl[] = {
        {type, large, sizeof large},
        {type, small, sizeof small},
        {type, nullptr, 0},
        {korva::abi::CKA_KEY_TYPE, &number, sizeof number},
        {korva::abi::CKA_LABEL, small, sizeof small},
    };
    (void)fillTemplate(tmpl, 0, record, {});
    return 0;
}
