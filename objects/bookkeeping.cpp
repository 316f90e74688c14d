#include "objects/bookkeeping.h"

#include "card/files.h"
#include "card/select.h"

#include <span>

namespace korva::objects {

CardResult readCounters(CardContext& context, CountersBytes& bytes) noexcept {
    if (const CardResult rc = card::selectFile(context, kCountersFileId); rc != result::kOk) return rc;
    return card::readBinary(context, 0, bytes);
}

CardResult bumpCounters(CardContext& context, bool keyContainers, bool files, uint32_t classNumber,
                        uint8_t delta) noexcept {
    CountersBytes bytes{};
    if (const CardResult rc = readCounters(context, bytes); rc != result::kOk) return rc;
    if (!counters::applyChange(bytes, keyContainers, files, classNumber, delta)) return result::kBadArgumentOrTransport;
    return card::updateBinary(context, 0, bytes);
}

CardResult bumpChangeCounters(CardContext& context) noexcept {
    std::array<uint8_t, counters::kCountsValid> bytes{};
    if (const CardResult rc = card::selectFile(context, kCountersFileId); rc != result::kOk) return rc;
    if (const CardResult rc = card::readBinary(context, 0, bytes); rc != result::kOk) return rc;
    counters::incrementCounter(bytes, counters::kKeyContainerChanges);
    counters::incrementCounter(bytes, counters::kFileChanges);
    counters::incrementCounter(bytes, counters::kStoreChanges);
    return card::updateBinary(context, 0, bytes);
}

}  // namespace korva::objects
