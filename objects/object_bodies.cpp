#include "objects/object_bodies.h"

#include "objects/attribute_record.h"

#include "card/files.h"
#include "card/security_ops.h"
#include "card/select.h"
#include "card/templates.h"

#include <korva/pkcs11_types.h>

#include <algorithm>
#include <array>
#include <new>

namespace korva::objects {

namespace {

constexpr std::size_t kRsaExponentField = 8;
constexpr std::size_t kRsaModulus = 128;

CardResult readInto(CardContext& context, uint32_t offset, std::size_t length, WipedBytes& content) {
    content.assign(length, 0);
    return card::readBinary(context, offset, content);
}

}  // namespace

CardResult readLengthPrefixedBody(CardContext& context, uint16_t fileId, WipedBytes& content,
                                  BodyRead* failedRead) noexcept {
    if (failedRead != nullptr) *failedRead = BodyRead::kLength;
    if (const CardResult rc = card::selectFile(context, fileId); rc != result::kOk) return rc;
    const uint32_t size = context.fci.fileSize;
    if (size == FileControlInfo::kAbsent || size < 2) return result::kUnexpected;
    try {
        std::array<uint8_t, 2> prefix{};
        if (const CardResult rc = card::readBinary(context, 0, prefix); rc != result::kOk) return rc;
        const uint32_t length = uint32_t(prefix[0] << 8 | prefix[1]);
        if (length > size - 2) return result::kUnexpected;
        if (failedRead != nullptr) *failedRead = BodyRead::kContent;
        return readInto(context, 2, length, content);
    } catch (const std::bad_alloc&) {
        return result::kMemory;
    }
}

CardResult readFixedBody(CardContext& context, uint16_t fileId, std::size_t length, WipedBytes& content) noexcept {
    if (const CardResult rc = card::selectFile(context, fileId); rc != result::kOk) return rc;
    const uint32_t size = context.fci.fileSize;
    if (size == FileControlInfo::kAbsent || size < length) return result::kUnexpected;
    try {
        return readInto(context, 0, length, content);
    } catch (const std::bad_alloc&) {
        return result::kMemory;
    }
}

KeyReferenceLookup keyReferenceOf(std::span<const uint8_t> record, uint8_t& reference) noexcept {
    const RecordLookup found = findInRecord(record, abi::CKA_VENDOR_KEY_REFERENCE);
    if (found.result == LookupResult::Malformed) return KeyReferenceLookup::Malformed;
    if (found.result == LookupResult::Absent) return KeyReferenceLookup::None;
    if (found.value.size() != 1) return KeyReferenceLookup::Malformed;
    reference = found.value[0];
    return KeyReferenceLookup::Found;
}

CardResult readKeyPublicPart(CardContext& context, const KeyBody& body, KeyPublicPart& part,
                             bool readGostPoint) noexcept {
    part.kind = KeyPublicPart::Kind::None;
    if (body.inKeyDirectory) {
        if (const CardResult rc = card::selectKeyDirectory(context); rc != result::kOk) return rc;
    }
    if (const CardResult rc = card::selectFile(context, body.fileId); rc != result::kOk) return rc;
    if (context.fci.descriptor != card::kKeyFileDescriptor || context.fci.keyAttr85 == 0xFF) return result::kUnexpected;
    const uint8_t kind = context.fci.keyAttr85;
    if (kind != card::kRsaKeyFileKind && kind != card::kGostKeyFileKind) return result::kOk;
    if (kind == card::kGostKeyFileKind && !readGostPoint) {
        part.kind = KeyPublicPart::Kind::Gost;
        return result::kOk;
    }

    std::array<uint8_t, 256> answer{};
    std::size_t length = 0;
    if (const CardResult rc = card::readPublicKey(context, 0, answer, length); rc != result::kOk) return rc;
    const std::span<const uint8_t> key(answer.data(), length);
    try {
        if (kind == card::kRsaKeyFileKind) {
            if (length != kRsaExponentField + kRsaModulus) return result::kUnexpected;
            part.publicExponent.assign(key.begin(), key.begin() + kRsaExponentField);
            part.modulus.assign(key.begin() + kRsaExponentField, key.end());
            part.kind = KeyPublicPart::Kind::Rsa;
            return result::kOk;
        }
        // The card answers X then Y big-endian; the host is given each
        // coordinate little-endian, the halves kept in order.
        if (length == 0 || length % 2 != 0) return result::kUnexpected;
        const std::size_t half = length / 2;
        part.point.assign(key.begin(), key.end());
        std::reverse(part.point.begin(), part.point.begin() + long(half));
        std::reverse(part.point.begin() + long(half), part.point.end());
        part.kind = KeyPublicPart::Kind::Gost;
        return result::kOk;
    } catch (const std::bad_alloc&) {
        return result::kMemory;
    }
}

}  // namespace korva::objects
