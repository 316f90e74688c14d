#include "card/select.h"

#include "card/apdu.h"
#include "card/tlv.h"

#include <array>
#include <limits>
#include <new>

namespace korva::card {

namespace {

using Bytes = std::span<const uint8_t>;

// A big-endian number of 1 to 4 bytes, as the FCP encodes sizes.
bool readNumber(Bytes value, uint32_t& number) noexcept {
    if (value.empty() || value.size() > 4) return false;
    number = 0;
    for (uint8_t byte : value) number = number << 8 | byte;
    return true;
}

// Outcome of looking up one tag among the children of a template.
enum class Lookup { kPresent, kAbsent, kMalformed };

Lookup lookUp(Bytes range, uint8_t tag, Bytes& value) noexcept {
    switch (findTag(range, tag, value)) {
        case TagSearch::kFound: return Lookup::kPresent;
        case TagSearch::kNotFound: return Lookup::kAbsent;
        case TagSearch::kMalformed: break;
    }
    return Lookup::kMalformed;
}

// A required tag whose value is exactly one byte.
bool readRequiredByte(Bytes range, uint8_t tag, uint8_t& out) noexcept {
    Bytes value;
    if (lookUp(range, tag, value) != Lookup::kPresent || value.size() != 1) return false;
    out = value[0];
    return true;
}

// An optional number of 1 to 4 bytes: absence leaves `out` alone.
bool readOptionalNumber(Bytes range, uint8_t tag, uint32_t& out) noexcept {
    Bytes value;
    switch (lookUp(range, tag, value)) {
        case Lookup::kAbsent: return true;
        case Lookup::kMalformed: return false;
        case Lookup::kPresent: break;
    }
    return readNumber(value, out);
}

// The attribute bytes of a key file, found inside the proprietary A5 template.
bool readKeyAttributes(Bytes a5, FileControlInfo& fci) noexcept {
    if (!readRequiredByte(a5, 0x85, fci.keyAttr85)) return false;
    if (fci.keyAttr85 != 0) {
        if (!readRequiredByte(a5, 0x8E, fci.keyAttr8E)) return false;
        Bytes value;
        switch (lookUp(a5, 0x8F, value)) {
            case Lookup::kAbsent: break;
            case Lookup::kMalformed: return false;
            case Lookup::kPresent:
                if (value.size() != 1) return false;
                fci.keyAttr8F = value[0];
                break;
        }
    }
    return readRequiredByte(a5, 0x87, fci.keyAttr87) && readRequiredByte(a5, 0x89, fci.keyAttr89);
}

bool readProprietary(Bytes fcp, FileControlInfo& fci) noexcept {
    Bytes a5;
    switch (lookUp(fcp, 0xA5, a5)) {
        case Lookup::kAbsent: return true;
        case Lookup::kMalformed: return false;
        case Lookup::kPresent: break;
    }
    if (!readOptionalNumber(a5, 0x82, fci.keyReference)) return false;
    return fci.descriptor != 0x11 || readKeyAttributes(a5, fci);
}

// A linear fixed file's record count. Left unknown (-1) when the size or the
// record length is missing or the length is 0: a count made up from an
// absent marker, or a division by zero, would send callers walking records
// that do not exist.
void computeRecordCount(FileControlInfo& fci) noexcept {
    if (fci.descriptor != 0x02) return;
    if (fci.fileSize == FileControlInfo::kAbsent || fci.recordLength == FileControlInfo::kAbsent ||
        fci.recordLength == 0) {
        return;
    }
    const uint32_t count = fci.fileSize / fci.recordLength;
    if (count <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        fci.recordCount = static_cast<int32_t>(count);
    }
}

CardResult parseTemplate(Bytes fcp, FileControlInfo& fci) {
    Bytes value;
    if (lookUp(fcp, 0x82, value) != Lookup::kPresent || value.empty()) return result::kUnexpected;
    fci.descriptor = value[0];
    if (value.size() > 2) fci.recordLength = value[2];

    if (lookUp(fcp, 0x83, value) != Lookup::kPresent || value.size() != 2) return result::kUnexpected;
    fci.fileId = static_cast<uint32_t>(value[0]) << 8 | value[1];

    if (!readRequiredByte(fcp, 0x8A, fci.lifeCycle)) return result::kUnexpected;

    // Access conditions are the card's business; kept as they are, and a
    // damaged 86 costs nothing but the copy.
    if (lookUp(fcp, 0x86, value) == Lookup::kPresent && !value.empty()) {
        fci.securityAttributes.assign(value.begin(), value.end());
    }

    if (!readOptionalNumber(fcp, 0x80, fci.fileSize)) return result::kUnexpected;
    if (!readOptionalNumber(fcp, 0x81, fci.allocatedSize)) return result::kUnexpected;
    if (!readProprietary(fcp, fci)) return result::kUnexpected;

    computeRecordCount(fci);
    return result::kOk;
}

void markKeyFile(FileControlInfo& fci) noexcept {
    fci.keyAttr85 = 0x21;
    fci.descriptor = 0x11;
}

// 6A xx and xx 82 both mean the card has no such file.
constexpr std::initializer_list<detail::StatusRule> kSelectRules = {
    {0x6A00, result::kNotFound, 0xFF00},
    {0x0082, result::kNotFound, 0x00FF},
};

}  // namespace

CardResult parseFcp(CardContext& context) noexcept {
    context.fci.resetKeepingKeyReference();
    const Bytes answer = context.received();
    if (answer.empty()) return result::kOk;
    // The outer tag (62 for an FCP template) is not checked: the card's
    // answers to SELECT carry nothing else.
    Bytes fcp;
    if (!decodeLength(answer, fcp)) return result::kUnexpected;
    try {
        return parseTemplate(fcp, context.fci);
    } catch (const std::bad_alloc&) {
        return result::kMemory;
    }
}

CardResult selectFile(CardContext& context, uint16_t fileId) noexcept {
    if (fileId == 0xFFFF) {
        context.lastResult = valueOf(result::kNotFound);
        return result::kNotFound;
    }
    const uint8_t p1 = fileId == kMasterFile ? 0x00 : 0x09;
    const std::array<uint8_t, 7> apdu = {
        0x00, 0xA4, p1, 0x00, 0x02, static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId)};
    const CardResult sent = detail::send(context, apdu, kTransportFlag1, kSelectRules);
    if (sent != result::kOk) return sent;
    const CardResult parsed = parseFcp(context);
    context.lastResult = valueOf(parsed);
    if (parsed != result::kOk) return parsed;
    if (isKeyFileId(fileId)) markKeyFile(context.fci);
    return result::kOk;
}

CardResult selectPath(CardContext& context, std::span<const uint8_t> path) noexcept {
    if (path.empty() || path.size() % 2 != 0 || path.size() > kLongestPath) return result::kBadArgumentOrTransport;
    context.fci.resetKeepingKeyReference();
    std::array<uint8_t, 5 + kLongestPath> apdu{0x00, 0xA4, 0x08, 0x00, static_cast<uint8_t>(path.size())};
    std::copy(path.begin(), path.end(), apdu.begin() + 5);
    const CardResult sent = detail::send(context, Bytes(apdu).first(5 + path.size()), kTransportFlag1, kSelectRules);
    if (sent != result::kOk) return sent;
    // The path selection stands even when the FCP is damaged: callers that
    // only need the directory to be current do not depend on it.
    context.lastResult = valueOf(parseFcp(context));
    const auto last = static_cast<uint16_t>(path[path.size() - 2] << 8 | path[path.size() - 1]);
    if (isKeyFileId(last)) markKeyFile(context.fci);
    return result::kOk;
}

CardResult selectApplication(CardContext& context) noexcept { return selectPath(context, kPathApplication); }

CardResult selectApplicationSubdirectory(CardContext& context) noexcept {
    return selectPath(context, kPathApplicationSubdirectory);
}

CardResult selectCertificateDirectory(CardContext& context) noexcept {
    return selectPath(context, kPathCertificateDirectory);
}

CardResult selectKeyDirectory(CardContext& context) noexcept { return selectPath(context, kPathKeyDirectory); }

CardResult selectDataFileDirectory(CardContext& context) noexcept {
    return selectPath(context, kPathDataFileDirectory);
}

}  // namespace korva::card
