// BER-TLV with one-byte tags and lengths in short form, 81 xx or 82 xx xx:
// the encoding of FCP templates and of the card's proprietary data.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korva::sim {

struct Tlv {
  uint8_t tag = 0;
  std::span<const uint8_t> value;
};

// All TLVs of one nesting level; nullopt when any of them is malformed or
// runs past the end.
std::optional<std::vector<Tlv>> parseTlvs(std::span<const uint8_t> data);
// The value of the first TLV with `tag` on one level of well-formed data.
std::optional<std::span<const uint8_t>> findTlv(std::span<const uint8_t> data, uint8_t tag);
void appendTlv(std::vector<uint8_t>& out, uint8_t tag, std::span<const uint8_t> value);

}  // namespace korva::sim
