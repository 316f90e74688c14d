// What the library needs from a card reader: one command APDU in, the answer
// and status words out. A slot of the library is one reader.
//
// A reader whose card lives outside the process (a card file, a device) is
// told when a library call begins and ends, so that it can pick up changes
// made by another process first and make its own changes lasting after.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace korva::host {

class Reader {
public:
    virtual ~Reader() = default;

    // Up to 64 characters for the slot's description.
    virtual std::string description() const = 0;
    virtual bool cardPresent() const = 0;

    // The module's transmit contract: `responseLength` holds the capacity on
    // entry and the number of data bytes on return; 0 when the exchange took
    // place, non-zero on a transport failure.
    virtual uint32_t transmit(std::span<const uint8_t> command, uint8_t* response,
                              uint32_t* responseLength, uint8_t& sw1, uint8_t& sw2) = 0;

    virtual void beginCall() {}
    virtual void endCall() {}
};

// Transport failures a reader reports.
inline constexpr uint32_t kNoCard = 0x8010'000C;
inline constexpr uint32_t kAnswerTooLong = 0x8010'0008;

}  // namespace korva::host
