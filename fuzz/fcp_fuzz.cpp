// parseFcp over an arbitrary card answer of at most the response buffer's
// size. Whatever it returns, the parsed fields must stay consistent.
#include "card/select.h"

#include <algorithm>
#include <cstdlib>

namespace {

uint32_t noTransport(korva::HostContext, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint8_t*, uint8_t*, uint32_t,
                     uint32_t) {
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korva::CardContext context(korva::HostContext{0, 0, &noTransport, nullptr});
    const size_t length = std::min<size_t>(size, korva::CardContext::kResponseCapacity);
    std::copy_n(data, length, context.response.begin());
    context.responseLength = static_cast<uint32_t>(length);
    const korva::CardResult parsed = korva::card::parseFcp(context);
    if (parsed == korva::result::kOk) {
        const korva::FileControlInfo& fci = context.fci;
        if (fci.securityAttributes.size() > length) std::abort();
        if (fci.descriptor == 0x02 && fci.recordCount >= 0 &&
            (fci.recordLength == 0 || fci.recordLength == korva::FileControlInfo::kAbsent)) {
            std::abort();
        }
    }
    return 0;
}
