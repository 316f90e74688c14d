// The test host: what a host PKCS#11 library is to the module, with a
// virtual card behind its transport.
//
//   TestHost host;                                  // fresh virtual card
//   auto rv = host.table()->getTokenInfo(host.context(), host.settings(), &info);
//   host.exchanges()                                // every APDU, recorded
//   host.failAt(2, Fault::transport());             // the 2nd exchange from now fails
//   host.failOn("80 FE", Fault::status(0x6A, 0x82)) // the next matching command
//
// The module reaches the host only through the HostContext: the transport
// finds its TestHost from hostA and hostB (the module may replace the cookie
// with its own session-object table, so the cookie identifies nothing).
#pragma once

#include "tests/support/exchange_log.h"
#include "tests/support/module_library.h"

#include <korva/host_records.h>
#include <korva/transport.h>
#include "sim/virtual_card.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korva::test {

class TestHost final {
public:
    // A host with a fresh virtual card, or with the card saved in `cardFile`.
    explicit TestHost(const sim::CardOptions& options = {});
    explicit TestHost(sim::VirtualCard card);
    static std::unique_ptr<TestHost> withCardFile(const std::filesystem::path& cardFile);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // --- the module --------------------------------------------------------
    const abi::ModuleFunctionTable* table() const { return ModuleLibrary::built().table(); }
    // The host values every slot takes first; the cookie is the one the
    // module left in contextPointer() (slots that take the pointer form).
    abi::HostContext context() const { return context_; }
    abi::HostContext* contextPointer() { return &context_; }

    // --- the card ----------------------------------------------------------
    sim::VirtualCard& card() { return *card_; }
    void replaceCard(sim::VirtualCard card);
    void saveCard(const std::filesystem::path& file) const { card_->save(file); }
    void loadCard(const std::filesystem::path& file);
    // A card reset: the card forgets its security state.
    void resetCard() { card_->reset(); }

    // --- the transport -----------------------------------------------------
    const std::vector<Exchange>& exchanges() const { return exchanges_; }
    const Exchange& lastExchange() const;
    void clearExchanges() { exchanges_.clear(); }
    // Commands as hex text, one per exchange: handy for EXPECT_THAT.
    std::vector<std::string> commandLog() const;

    // The k-th exchange from now (1 = the next one) suffers `fault`.
    void failAt(size_t k, Fault fault);
    // The next `times` commands starting with `prefix` (hex) suffer `fault`;
    // times 0 means every such command until clearFaults().
    void failOn(const std::string& prefixHex, Fault fault, size_t times = 1);
    void clearFaults() { rules_.clear(); }

    // --- the host records --------------------------------------------------
    // A LoginRecord for the security officer (0), the user (1) or nobody.
    abi::LoginRecord* login(uint8_t userType, const std::string& pin);
    abi::LoginRecord* noLogin() { return login(0xFF, ""); }
    // The token-settings byte vector the host keeps and passes back to the
    // slots: 17 zero bytes until setSettings() (e.g. with what slot 0 read).
    abi::HostByteVector* settings() { return &settings_.descriptor; }
    void setSettings(const Bytes& bytes);
    // The session-object table behind the cookie (null while there is none).
    const abi::HostSessionTable* sessionTable() const;
    size_t sessionObjectCount() const;
    // A zeroed OperationRecord / FindCursor owned by the host.
    abi::OperationRecord* operation();
    abi::FindCursor* cursor();

    // Answers the TransmitCallback for this host; public for the thunk.
    uint32_t transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response, uint32_t* responseLength,
                      uint8_t* sw1, uint8_t* sw2, uint32_t flag, uint32_t reserved);

    // Non-zero callback values the host itself returns.
    static constexpr uint32_t kRcAnswerTooLong = 0x8010'0008;  // answer beyond the capacity
    static constexpr uint32_t kRcBadArguments = 0x8010'0004;   // null pointers, oversized command
    static constexpr uint32_t kRcCardThrew = 0x8010'001F;      // the virtual card failed

private:
    // A host byte vector: the descriptor the module reads and its storage.
    struct ByteVector {
        abi::HostByteVector descriptor{};
        Bytes storage;
        void assign(const Bytes& bytes);
    };

    void registerSelf();
    const FaultRule* takeFault(const Bytes& command);

    std::unique_ptr<sim::VirtualCard> card_;
    abi::HostContext context_{};
    std::vector<Exchange> exchanges_;
    size_t exchangeCount_ = 0;
    std::vector<FaultRule> rules_;
    std::vector<std::unique_ptr<abi::LoginRecord>> logins_;
    std::vector<std::unique_ptr<abi::OperationRecord>> operations_;
    std::vector<std::unique_ptr<abi::FindCursor>> cursors_;
    ByteVector settings_;
};

}  // namespace korva::test
