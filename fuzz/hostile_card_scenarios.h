// The slot sequences that the hostile-card fuzz target drives and that its
// recorder plays on the virtual card to make the seed corpus. Both run the
// same code, so a recorded answer list replays exchange for exchange.
//
// A scenario works on the objects of a prepared token at fixed handles
// (kPrepared below): the recorder builds that token on the virtual card and
// checks that every object landed where the scenarios look for it; under
// the fuzzer the records behind those handles are whatever the answers say.
//
// Besides not crashing, every scenario checks what a host relies on: a slot
// that succeeds never reports more bytes than the buffer it was given, and
// every array the module hands out goes back through slot 63 (the leak
// checker sees any that does not). Host buffers are exactly as long as
// announced, so a read or write past one is an AddressSanitizer report.
#pragma once

#include <korva/host_records.h>
#include <korva/module.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace korva::fuzz {

using Bytes = std::vector<uint8_t>;

inline constexpr const char* kSoPin = "87654321";
inline constexpr const char* kUserPin = "47102958";  // what initialisation sets

// Where the prepared token keeps what the scenarios use.
struct PreparedObjects {
    abi::ObjectHandle gostPublic{1, 0x50, 0x01}, gostPrivate{1, 0x50, 0x00};
    abi::ObjectHandle rsaPublic{2, 0x50, 0x01}, rsaPrivate{2, 0x50, 0x00};
    abi::ObjectHandle aesKey{1, 0x50, 0x03};
    abi::ObjectHandle gostWrappingKey{2, 0x50, 0x03};
    abi::ObjectHandle gostSecretKey{3, 0x50, 0x03};  // extractable: the key that is wrapped
    abi::ObjectHandle dataObject{1, 0x50, 0x07};
    abi::ObjectHandle gostCertificate{1, 0x50, 0x04};
};
inline constexpr PreparedObjects kPrepared{};

// The host's side of one run: its values, its records and the results.
class Session {
public:
    Session(abi::TransmitCallback transmit, std::span<const uint8_t, KORVA_TOKEN_SETTINGS_SIZE> settings);
    ~Session();  // releases the session-object table the module may have made
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const abi::ModuleFunctionTable& slots;
    abi::HostContext host{};
    abi::HostByteVector settings{};
    abi::LoginRecord user{}, securityOfficer{}, nobody{};
    std::vector<abi::CK_RV> results;  // every slot's return value, in call order

    abi::CK_RV note(abi::CK_RV rv) {
        results.push_back(rv);
        return rv;
    }

private:
    std::array<uint8_t, KORVA_TOKEN_SETTINGS_SIZE> settingsBytes_{};
};

struct Scenario {
    const char* name;
    void (*run)(Session&);
};

// The scenarios, in a fixed order: the first input byte is an index into
// this list, so new scenarios go at the end to keep the seeds valid.
std::span<const Scenario> scenarios();

// A self-signed certificate (RSA, 1024 bits) and a PKCS#12 file holding it
// with its key under kPkcs12Password: the import and creation scenarios
// use them. Made once per process.
inline constexpr std::string_view kPkcs12Password = "hostile";
const Bytes& testCertificate();
const Bytes& testPkcs12();

}  // namespace korva::fuzz
