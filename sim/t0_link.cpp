#include "sim/t0_link.h"

#include <algorithm>

namespace korva::sim {
namespace {

constexpr std::size_t kHeader = 4;

bool isGetResponse(std::span<const uint8_t> apdu) {
  return apdu.size() == kHeader + 1 && apdu[0] == 0x00 && apdu[1] == 0xC0 && apdu[2] == 0 &&
         apdu[3] == 0;
}

// A short command with a data field and Le: header, Lc, Lc bytes, Le.
bool isCase4(std::span<const uint8_t> apdu) {
  return apdu.size() > kHeader + 1 && apdu[kHeader] != 0 &&
         apdu.size() == kHeader + 2u + apdu[kHeader];
}

Answer status(uint8_t sw1, uint8_t sw2) {
  Answer answer;
  answer.sw1 = sw1;
  answer.sw2 = sw2;
  return answer;
}

uint8_t lengthByte(std::size_t length) {
  return static_cast<uint8_t>(std::min<std::size_t>(length, 256));
}

}  // namespace

Answer T0Link::transmit(VirtualCard& card, std::span<const uint8_t> apdu) {
  if (isGetResponse(apdu) && !waiting_.empty()) return getResponse(card, apdu);
  waiting_.clear();
  Answer answer = card.transmit(apdu);
  if (!isCase4(apdu) || answer.data.empty()) return answer;
  waiting_ = std::move(answer.data);
  finalSw1_ = answer.sw1;
  finalSw2_ = answer.sw2;
  return status(0x61, lengthByte(waiting_.size()));
}

Answer T0Link::getResponse(VirtualCard&, std::span<const uint8_t> apdu) {
  const std::size_t wanted = apdu[kHeader] == 0 ? 256 : apdu[kHeader];
  if (wanted > waiting_.size()) return status(0x6C, lengthByte(waiting_.size()));
  Answer answer;
  const std::size_t count = std::min(wanted, waiting_.size());
  answer.data.assign(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(count));
  waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(count));
  if (waiting_.empty()) {
    answer.sw1 = finalSw1_;
    answer.sw2 = finalSw2_;
  } else {
    answer.sw1 = 0x61;
    answer.sw2 = lengthByte(waiting_.size());
  }
  return answer;
}

}  // namespace korva::sim
