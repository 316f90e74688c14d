// Card readers through PC/SC (pcsc-lite's pcscd): one library slot per
// reader, named by the reader.
//
// The connection to a card is shared (other applications use the same card
// at the same time) and every library call that talks to the card runs
// inside one PC/SC transaction, so that no other application's command
// lands between two of ours. A card reset by another application is
// reconnected at the start of the next call and counted; a card taken out
// ends the connection. A new card is asked first whether it is ours
// (its application directory answers SELECT); a card that is not is never
// sent anything else.
#pragma once

#include "host/readers/pcsc_api.h"
#include "host/readers/reader.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korva::host {

class PcscEvents;

class PcscReader final : public Reader {
public:
    PcscReader(const PcscApi& api, std::string name, std::shared_ptr<PcscEvents> events);
    ~PcscReader() override;
    PcscReader(const PcscReader&) = delete;
    PcscReader& operator=(const PcscReader&) = delete;

    std::string description() const override;
    bool removable() const override { return true; }
    CardState cardState() override;
    ReaderStatus beginCall() override;
    ReaderStatus endCall() override;
    ReaderStatus transmit(std::span<const uint8_t> command, uint8_t* response, uint32_t* responseLength, uint8_t& sw1,
                          uint8_t& sw2, Outstanding outstanding) override;
    ReaderStatus reconnect() override;
    void waitForChange(std::chrono::milliseconds timeout) override;
    void cancelWait() override;

private:
    ReaderStatus refresh();
    ReaderStatus connect();
    ReaderStatus beginTransaction();
    void disconnect();
    ReaderStatus statusOf(LONG rv);
    ReaderStatus rawExchange(std::span<const uint8_t> command, std::vector<uint8_t>& answer);
    // Asks a new card whether it is ours (sets state_.recognised).
    ReaderStatus recognise();
    bool cardWentAway();

    const PcscApi& api_;
    std::string name_;
    std::shared_ptr<PcscEvents> events_;
    SCARDCONTEXT context_ = 0;
    bool hasContext_ = false;
    SCARDHANDLE card_ = 0;
    bool connected_ = false;
    DWORD protocol_ = 0;
    bool inTransaction_ = false;
    bool inCall_ = false;
    bool gone_ = false;
    std::optional<DWORD> lastEvents_;  // pcsc-lite's count of card events in the reader
    CardState state_;
};

// The PC/SC readers of this machine, each its own Reader; none when pcsc-lite
// or pcscd is not there (`note` then says why, for the trace).
std::vector<std::unique_ptr<Reader>> openPcscReaders(std::string& note);

}  // namespace korva::host
