// The virtual card as a T=0 card answers: a command that carries data and
// expects an answer (case 4) gets 61 xx, and the answer waits for GET
// RESPONSE (00 C0 00 00 xx); a GET RESPONSE whose Le does not fit what waits
// gets 6C xx. Commands without a data field are answered as before. The card
// itself is unchanged: this is the link between it and the reader.
#pragma once

#include "sim/virtual_card.h"

#include <cstdint>
#include <span>
#include <vector>

namespace korva::sim {

class T0Link final {
 public:
  Answer transmit(VirtualCard& card, std::span<const uint8_t> apdu);
  // A reset or power cycle drops what waits.
  void reset() { waiting_.clear(); }

 private:
  Answer getResponse(VirtualCard& card, std::span<const uint8_t> apdu);

  std::vector<uint8_t> waiting_;  // the data not yet fetched
  uint8_t finalSw1_ = 0x90;       // the card's own status words for it
  uint8_t finalSw2_ = 0x00;
};

}  // namespace korva::sim
