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

CardResult growContainerMap(CardContext& context, std::size_t size) noexcept {
    const uint32_t current = context.fci.fileSize;
    if (size == 0 || current == FileControlInfo::kAbsent || current == 0) return result::kBadArgumentOrTransport;
    if (current >= size) return result::kOk;
    if (size > 0xFFFF) return result::kBadArgumentOrTransport;
    const uint32_t freeMemory = context.fci.keyReference;
    if (freeMemory == FileControlInfo::kAbsent || freeMemory < size) return kMapNotGrown;

    std::vector<uint8_t> content;
    try {
        content.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return result::kMemory;
    }
    if (const CardResult rc = card::readBinary(context, 0, std::span(content).first(current)); rc != result::kOk) {
        return rc;
    }
    if (const CardResult rc = card::deleteFile(context, kContainerMapFileId); rc != result::kOk) return rc;
    // From here the map exists only in `content`: if the larger file cannot
    // be made, the old size is made again and the old bytes go back. When
    // not even that succeeds (the link is gone) the map is lost with this
    // call; the failure is reported and the public-key directory is left
    // untouched, as its growth waits for the map.
    CardResult outcome = result::kOk;
    std::size_t written = size;
    if (card::createContainerMapFile(context, uint16_t(size)) != result::kOk) {
        if (const CardResult rc = card::createContainerMapFile(context, uint16_t(current)); rc != result::kOk) {
            return rc;
        }
        outcome = kMapNotGrown;
        written = current;
    }
    if (const CardResult rc = card::updateBinary(context, 0, std::span(content).first(written)); rc != result::kOk) {
        return rc;
    }
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
