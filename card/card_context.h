// The per-call working record of the module: the host's transport values,
// one command buffer, one response buffer, the last status words and the
// parsed control information of the most recently selected file.
//
// Every slot builds one CardContext on entry and lets it go out of scope on
// every return path; nothing in it survives the call.
#pragma once

#include <korva/transport.h>

#include "card/card_result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korva {

using abi::HostContext;
using abi::TransmitCallback;

// Parsed file control parameters of the last selected file. Every field holds
// its "absent" value until an FCP sets it.
struct FileControlInfo {
    static constexpr uint32_t kAbsent = 0xFFFFFFFF;

    uint8_t lifeCycle = 0xFF;
    int32_t recordCount = -1;
    uint32_t recordLength = kAbsent;
    uint32_t fileSize = kAbsent;
    uint32_t allocatedSize = kAbsent;
    uint8_t descriptor = 0xFF;
    std::vector<uint8_t> securityAttributes;
    uint32_t fileId = kAbsent;
    uint32_t keyReference = kAbsent;  // for A1 BC 7F 01: the card's free memory
    uint8_t keyAttr85 = 0xFF;
    uint8_t keyAttr8E = 0xFF;
    uint8_t keyAttr8F = 0xFF;
    uint8_t keyAttr87 = 0xFF;
    uint8_t keyAttr89 = 0xFF;

    // Back to the absent values; keyReference survives, as the card keeps
    // reporting it only for the directories that carry it.
    void resetKeepingKeyReference() {
        const uint32_t keep = keyReference;
        *this = FileControlInfo{};
        keyReference = keep;
    }
};

// Bits of CardContext::loginFlags, consulted by VERIFY.
namespace login_flags {
inline constexpr uint8_t kSelectPinDirectoryFirst = 0x01;  // path 05 1F before VERIFY
inline constexpr uint8_t kSelectApplicationAfter = 0x02;   // path A1 BC after VERIFY (wins over 0x04)
inline constexpr uint8_t kSelectSubdirectoryAfter = 0x04;  // path A1 BC 7F 01 after VERIFY
}  // namespace login_flags

struct CardContext {
    static constexpr std::size_t kCommandCapacity = 263;
    static constexpr uint32_t kResponseCapacity = 258;

    explicit CardContext(const HostContext& hostValues) noexcept : host(hostValues) {}
    CardContext(const CardContext&) = delete;
    CardContext& operator=(const CardContext&) = delete;
    ~CardContext();  // wipes both buffers: they carry PIN blocks and keys

    HostContext host;
    FileControlInfo fci;
    std::array<uint8_t, kCommandCapacity> command{};
    uint32_t responseLength = 0;
    std::array<uint8_t, kResponseCapacity> response{};
    uint8_t sw1 = 0;
    uint8_t sw2 = 0;
    uint32_t lastResult = 0;
    uint32_t commandLength = 0;
    uint8_t loginFlags = 0;

    uint16_t statusWord() const noexcept { return static_cast<uint16_t>(sw1 << 8 | sw2); }
    std::span<const uint8_t> received() const noexcept { return {response.data(), responseLength}; }
};

// Transport options passed to the host with every command. The module gives
// them no meaning of its own: each card command has a fixed one.
inline constexpr uint32_t kTransportFlag0 = 0;
inline constexpr uint32_t kTransportFlag1 = 1;

// One exchange of the bytes already in `command` (commandLength bytes) with
// the given transport flag. The answer lands in `response`, whose size is the
// capacity announced to the host; responseLength holds the received count
// afterwards. A host that fails, or that reports more bytes than the capacity
// it was given, is a transport failure: the result is then kBadArgumentOrTransport,
// responseLength is 0 and the status words are 00 00. The host's own non-zero
// code is kept in lastResult for diagnosis but never returned: it could
// collide with a card result such as kNotFound. Returns kOk when the
// exchange took place and the status words are valid.
CardResult transmitCommand(CardContext& context, uint32_t flag, std::span<uint8_t> response) noexcept;

// The same into the context's own 258-byte response buffer.
CardResult transmitCommand(CardContext& context, uint32_t flag) noexcept;

// Copies `apdu` into the command buffer and exchanges it with `flag`. An
// APDU longer than the command buffer is kBadArgumentOrTransport without an exchange.
// Returns kOk when the exchange took place, else kBadArgumentOrTransport.
CardResult sendCommand(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag) noexcept;
CardResult sendCommand(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag,
                       std::span<uint8_t> response) noexcept;

// The raw single-exchange helper: sends `apdu` with flag 0. Returns
// kBadArgumentOrTransport, kOk on 90 00, else kUnexpected. Call it as
// korva::exchange when the argument is a standard container: unqualified,
// argument-dependent lookup also finds std::exchange.
CardResult exchange(CardContext& context, std::span<const uint8_t> apdu) noexcept;

// Sends a command APDU of any length: directly with flag 1 when it fits in
// 260 bytes, otherwise in ENVELOPE pieces of at most 250 bytes (flag 0)
// closed by an empty ENVELOPE (flag 1) whose answer is the command's answer.
// Returns kOk, kBadArgumentOrTransport or kUnexpected (an ENVELOPE piece answered
// with data or with another status word than 90 00). After kOk the final
// status words are left in sw1/sw2 for the caller to judge.
CardResult sendChained(CardContext& context, std::span<const uint8_t> apdu) noexcept;

}  // namespace korva
