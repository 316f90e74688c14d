#include "card/tlv.h"

namespace korva::card {

namespace {

// Reads the length field that follows the tag byte at the start of `fromTag`;
// checks only that the field itself is present and of a supported form.
bool readLengthField(std::span<const uint8_t> fromTag, std::size_t& fieldSize, std::size_t& length) noexcept {
    if (fromTag.size() < 2) return false;
    const uint8_t first = fromTag[1];
    if (first <= 0x7F) {
        fieldSize = 1;
        length = first;
        return true;
    }
    if (first == 0x81) {
        if (fromTag.size() < 3) return false;
        fieldSize = 2;
        length = fromTag[2];
        return true;
    }
    if (first == 0x82) {
        if (fromTag.size() < 4) return false;
        fieldSize = 3;
        length = static_cast<std::size_t>(fromTag[2]) << 8 | fromTag[3];
        return true;
    }
    return false;  // 80 (indefinite) and 83-FF are not used by the card
}

}  // namespace

bool decodeLength(std::span<const uint8_t> fromTag, std::span<const uint8_t>& value,
                  std::size_t* lengthFieldSize) noexcept {
    std::size_t fieldSize = 0;
    std::size_t length = 0;
    if (!readLengthField(fromTag, fieldSize, length)) return false;
    const std::size_t header = 1 + fieldSize;
    if (fromTag.size() - header < length) return false;
    value = fromTag.subspan(header, length);
    if (lengthFieldSize != nullptr) *lengthFieldSize = fieldSize;
    return true;
}

TagSearch findTag(std::span<const uint8_t> range, uint8_t tag, std::span<const uint8_t>& value) noexcept {
    while (!range.empty()) {
        std::span<const uint8_t> current;
        if (!decodeLength(range, current)) return TagSearch::kMalformed;
        if (range[0] == tag) {
            value = current;
            return TagSearch::kFound;
        }
        const auto consumed = static_cast<std::size_t>(current.data() + current.size() - range.data());
        range = range.subspan(consumed);
    }
    return TagSearch::kNotFound;
}

}  // namespace korva::card
