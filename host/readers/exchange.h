// One command through a reader's raw exchange, with the transport's part of
// the answer done as the module's per-command flag asks (Outstanding).
#pragma once

#include "host/readers/reader.h"

#include <functional>
#include <span>
#include <vector>

namespace korva::host {

// Sends one command APDU and gives the card's answer as it came: data, then
// SW1 SW2.
using RawExchange = std::function<ReaderStatus(std::span<const uint8_t> command, std::vector<uint8_t>& answer)>;

ReaderStatus exchange(const RawExchange& raw, std::span<const uint8_t> command, uint8_t* response,
                      uint32_t* responseLength, uint8_t& sw1, uint8_t& sw2, Outstanding outstanding);

}  // namespace korva::host
