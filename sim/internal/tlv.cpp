#include "sim/internal/tlv.h"

namespace korva::sim {

std::optional<std::vector<Tlv>> parseTlvs(std::span<const uint8_t> data) {
  std::vector<Tlv> entries;
  std::size_t offset = 0;
  while (offset < data.size()) {
    const uint8_t tag = data[offset++];
    if (offset >= data.size()) return std::nullopt;
    std::size_t length = data[offset++];
    if (length == 0x81) {
      if (offset + 1 > data.size()) return std::nullopt;
      length = data[offset++];
    } else if (length == 0x82) {
      if (offset + 2 > data.size()) return std::nullopt;
      length = static_cast<std::size_t>(data[offset]) << 8 | data[offset + 1];
      offset += 2;
    } else if (length > 0x7F) {
      return std::nullopt;
    }
    if (length > data.size() - offset) return std::nullopt;
    entries.push_back({tag, data.subspan(offset, length)});
    offset += length;
  }
  return entries;
}

std::optional<std::span<const uint8_t>> findTlv(std::span<const uint8_t> data, uint8_t tag) {
  const auto entries = parseTlvs(data);
  if (!entries) return std::nullopt;
  for (const Tlv& entry : *entries)
    if (entry.tag == tag) return entry.value;
  return std::nullopt;
}

void appendTlv(std::vector<uint8_t>& out, uint8_t tag, std::span<const uint8_t> value) {
  out.push_back(tag);
  if (value.size() > 0xFF) {
    out.push_back(0x82);
    out.push_back(static_cast<uint8_t>(value.size() >> 8));
  } else if (value.size() > 0x7F) {
    out.push_back(0x81);
  }
  out.push_back(static_cast<uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

}  // namespace korva::sim
