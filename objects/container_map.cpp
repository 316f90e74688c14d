#include "objects/container_map.h"

#include "objects/container_name.h"
#include "objects/layout.h"
#include "common/wiped_bytes.h"

#include "card/files.h"
#include "card/select.h"
#include "card/templates.h"

#include <algorithm>
#include <array>
#include <new>
#include <vector>

namespace korva::objects {

namespace {

CardResult selectContainerMap(CardContext& context) noexcept {
    if (const CardResult rc = card::selectCertificateDirectory(context); rc != result::kOk) return rc;
    return card::selectFile(context, kContainerMapFileId);
}

// Writes `bytes` at the offset of entry k, then returns to the application
// subdirectory.
CardResult writeAtEntry(CardContext& context, std::size_t k, std::span<const uint8_t> bytes) noexcept {
    if (const CardResult rc = selectContainerMap(context); rc != result::kOk) return rc;
    if (const CardResult rc = card::updateBinary(context, uint32_t(container_map::entryOffset(k)), bytes);
        rc != result::kOk) {
        return rc;
    }
    return card::selectApplicationSubdirectory(context);
}

bool hasId(std::span<const abi::CK_ATTRIBUTE> tmpl) noexcept {
    return std::ranges::any_of(tmpl, [](const abi::CK_ATTRIBUTE& a) { return a.type == abi::CKA_ID; });
}

}  // namespace

RoomOutcome growContainerMap(CardContext& context, std::size_t size) noexcept {
    const uint32_t current = context.fci.fileSize;
    if (size == 0 || current == FileControlInfo::kAbsent || current == 0) return RoomOutcome::kFailed;
    if (current >= size) return RoomOutcome::kDone;
    if (size > 0xFFFF) return RoomOutcome::kFailed;
    const uint32_t freeMemory = context.fci.keyReference;
    if (freeMemory == FileControlInfo::kAbsent || freeMemory < size) return RoomOutcome::kNoRoom;

    std::vector<uint8_t> content;
    try {
        content.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return RoomOutcome::kHostMemory;
    }
    if (card::readBinary(context, 0, std::span(content).first(current)) != result::kOk ||
        card::deleteFile(context, kContainerMapFileId) != result::kOk) {
        return RoomOutcome::kFailed;
    }
    // From here the map exists only in `content`: if the larger file cannot
    // be made, the old size is made again and the old bytes go back. When
    // not even that succeeds (the link is gone) the map is lost with this
    // call; the failure is reported and the public-key directory is left
    // untouched, as its growth waits for the map.
    RoomOutcome outcome = RoomOutcome::kDone;
    std::size_t written = size;
    if (card::createContainerMapFile(context, uint16_t(size)) != result::kOk) {
        if (card::createContainerMapFile(context, uint16_t(current)) != result::kOk) return RoomOutcome::kFailed;
        outcome = RoomOutcome::kNoRoom;
        written = current;
    }
    if (card::updateBinary(context, 0, std::span(content).first(written)) != result::kOk) return RoomOutcome::kFailed;
    return outcome;
}

CardResult writeContainerMapEntry(CardContext& context, std::span<const abi::CK_ATTRIBUTE> tmpl, std::size_t k,
                                  bool defaultSize) noexcept {
    const std::optional<ContainerMapEntry> entry = buildContainerMapEntry(tmpl, defaultSize);
    if (!entry) return result::kBadArgumentOrTransport;
    const auto bytes = encodeContainerMapEntry(*entry);
    return writeAtEntry(context, k, bytes);
}

CardResult renameContainerMapEntry(CardContext& context, std::span<const abi::CK_ATTRIBUTE> tmpl,
                                   std::size_t k) noexcept {
    if (!hasId(tmpl)) return result::kOk;
    const std::optional<ContainerName> name = containerNameForTemplate(tmpl);
    if (!name) return result::kBadArgumentOrTransport;
    return writeAtEntry(context, k, *name);
}

CardResult clearContainerMapEntry(CardContext& context, std::size_t k) noexcept {
    const std::array<uint8_t, container_map::kEntrySize> zeros{};
    return writeAtEntry(context, k, zeros);
}

}  // namespace korva::objects
