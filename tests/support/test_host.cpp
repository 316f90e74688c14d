#include "tests/support/test_host.h"

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

namespace korva::test {
namespace {

// The module passes hostA and hostB back unchanged; a pointer does not fit a
// 32-bit word on a 64-bit host, so they carry a number in this registry and
// its complement as a check.
std::mutex registryMutex;
std::map<uint32_t, TestHost*> registry;
uint32_t nextHostId = 1;

TestHost* findHost(const abi::HostContext& host) {
    std::lock_guard lock(registryMutex);
    if (host.hostB != ~host.hostA) return nullptr;
    auto it = registry.find(host.hostA);
    return it == registry.end() ? nullptr : it->second;
}

extern "C" uint32_t testHostTransmit(abi::HostContext host, const uint8_t* command, uint32_t commandLength,
                                     uint8_t* response, uint32_t* responseLength, uint8_t* sw1, uint8_t* sw2,
                                     uint32_t flag, uint32_t reserved) {
    TestHost* self = findHost(host);
    if (self == nullptr) return TestHost::kRcBadArguments;
    return self->transmit(command, commandLength, response, responseLength, sw1, sw2, flag, reserved);
}

constexpr uint32_t kMaxCommandLength = 263;

// The test host's cards derive PIN keys at the lowest cost: thousands of
// logins in the suite would otherwise take minutes.
sim::CardOptions cheapPins(sim::CardOptions options) {
    options.pinKeyCost = 1;
    return options;
}

}  // namespace

TestHost::TestHost(const sim::CardOptions& options) : TestHost(sim::VirtualCard::makeFresh(cheapPins(options))) {}

TestHost::TestHost(sim::VirtualCard card) : card_(std::make_unique<sim::VirtualCard>(std::move(card))) {
    registerSelf();
    settings_.assign(Bytes(KORVA_TOKEN_SETTINGS_SIZE, 0));
}

std::unique_ptr<TestHost> TestHost::withCardFile(const std::filesystem::path& cardFile) {
    return std::make_unique<TestHost>(sim::VirtualCard::load(cardFile));
}

TestHost::~TestHost() {
    std::lock_guard lock(registryMutex);
    registry.erase(context_.hostA);
}

void TestHost::registerSelf() {
    std::lock_guard lock(registryMutex);
    uint32_t id = nextHostId++;
    registry[id] = this;
    context_.hostA = id;
    context_.hostB = ~id;
    context_.transmit = &testHostTransmit;
    context_.cookie = nullptr;
}

void TestHost::replaceCard(sim::VirtualCard card) { card_ = std::make_unique<sim::VirtualCard>(std::move(card)); }

void TestHost::loadCard(const std::filesystem::path& file) { replaceCard(sim::VirtualCard::load(file)); }

void TestHost::ByteVector::assign(const Bytes& bytes) {
    storage = bytes;
    descriptor = {};
    descriptor.begin = storage.data();
    descriptor.end = storage.data() + storage.size();
    descriptor.storageEnd = descriptor.end;
}

void TestHost::setSettings(const Bytes& bytes) { settings_.assign(bytes); }

const abi::HostSessionTable* TestHost::sessionTable() const {
    return static_cast<const abi::HostSessionTable*>(context_.cookie);
}

size_t TestHost::sessionObjectCount() const {
    const abi::HostSessionTable* table = sessionTable();
    return table == nullptr ? 0 : static_cast<size_t>(table->end - table->begin);
}

abi::LoginRecord* TestHost::login(uint8_t userType, const std::string& pin) {
    auto record = std::make_unique<abi::LoginRecord>();
    *record = {};
    record->userType = userType;
    const size_t length = std::min(pin.size(), sizeof record->pin);
    std::memcpy(record->pin, pin.data(), length);
    record->pinLength = static_cast<uint32_t>(length);
    logins_.push_back(std::move(record));
    return logins_.back().get();
}

abi::OperationRecord* TestHost::operation() {
    operations_.push_back(std::make_unique<abi::OperationRecord>());
    *operations_.back() = {};
    return operations_.back().get();
}

abi::FindCursor* TestHost::cursor() {
    cursors_.push_back(std::make_unique<abi::FindCursor>());
    *cursors_.back() = {};
    return cursors_.back().get();
}

const Exchange& TestHost::lastExchange() const {
    if (exchanges_.empty()) throw std::logic_error("no exchange yet");
    return exchanges_.back();
}

std::vector<std::string> TestHost::commandLog() const {
    std::vector<std::string> log;
    log.reserve(exchanges_.size());
    for (const auto& exchange : exchanges_) log.push_back(hex(exchange.command));
    return log;
}

void TestHost::failAt(size_t k, Fault fault) {
    if (k == 0) throw std::invalid_argument("exchanges are counted from 1");
    FaultRule rule;
    rule.atExchange = exchangeCount_ + k;
    rule.fault = std::move(fault);
    rules_.push_back(std::move(rule));
}

void TestHost::failOn(const std::string& prefixHex, Fault fault, size_t times) {
    FaultRule rule;
    rule.prefix = fromHex(prefixHex);
    rule.times = times;
    rule.fault = std::move(fault);
    rules_.push_back(std::move(rule));
}

const FaultRule* TestHost::takeFault(const Bytes& command) {
    for (auto& rule : rules_) {
        if (rule.matches(exchangeCount_, command)) {
            ++rule.hits;
            return &rule;
        }
    }
    return nullptr;
}

uint32_t TestHost::transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response, uint32_t* responseLength,
                            uint8_t* sw1, uint8_t* sw2, uint32_t flag, uint32_t reserved) {
    ++exchangeCount_;
    Exchange& ex = exchanges_.emplace_back();
    ex.flag = flag;
    ex.reserved = reserved;
    if (command == nullptr || responseLength == nullptr || sw1 == nullptr || sw2 == nullptr ||
        commandLength > kMaxCommandLength || (response == nullptr && *responseLength != 0)) {
        if (command != nullptr) ex.command.assign(command, command + std::min(commandLength, kMaxCommandLength));
        ex.rc = kRcBadArguments;
        return ex.rc;
    }
    ex.command.assign(command, command + commandLength);
    ex.capacity = *responseLength;

    const FaultRule* rule = takeFault(ex.command);
    const Fault* fault = rule != nullptr ? &rule->fault : nullptr;
    ex.faulted = fault != nullptr;
    if (fault != nullptr && fault->kind == Fault::Kind::Transport) {
        ex.rc = fault->rc;
        return ex.rc;
    }

    sim::Answer answer;
    if (fault != nullptr && fault->kind == Fault::Kind::Answer) {
        answer.data = fault->data;
        answer.sw1 = fault->sw1;
        answer.sw2 = fault->sw2;
    } else {
        try {
            answer = card_->transmit(std::span<const uint8_t>(ex.command));
        } catch (...) {
            // An exception must not unwind through the module's C frames.
            ex.rc = kRcCardThrew;
            return ex.rc;
        }
        ex.reachedCard = true;
    }
    if (fault != nullptr && fault->kind == Fault::Kind::Truncate && answer.data.size() > fault->length)
        answer.data.resize(fault->length);
    if (fault != nullptr && fault->kind == Fault::Kind::Overlong)
        answer.data.insert(answer.data.end(), fault->data.begin(), fault->data.end());
    if (fault != nullptr && fault->kind == Fault::Kind::Rewrite) answer.data = fault->data;

    const bool misreports = fault != nullptr && fault->kind == Fault::Kind::ReportLength;
    if (answer.data.size() > ex.capacity && !misreports) {
        // A sound host never writes past the buffer it was given: the answer
        // is lost and the exchange fails.
        ex.rc = kRcAnswerTooLong;
        return ex.rc;
    }
    const size_t written = std::min<size_t>(answer.data.size(), ex.capacity);
    if (written != 0) std::memcpy(response, answer.data.data(), written);
    ex.response.assign(answer.data.begin(), answer.data.begin() + static_cast<std::ptrdiff_t>(written));
    ex.reportedLength = misreports ? fault->length : static_cast<uint32_t>(written);
    ex.sw1 = answer.sw1;
    ex.sw2 = answer.sw2;
    *responseLength = ex.reportedLength;
    *sw1 = answer.sw1;
    *sw2 = answer.sw2;
    return 0;
}

}  // namespace korva::test
