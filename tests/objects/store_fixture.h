// What the object store's end-to-end tests share: an initialised virtual
// token behind the test host, templates that own their values, a test RSA
// key pair and certificate, and short forms of the slots.
#pragma once

#include "tests/objects/layout_checker.h"

#include "tests/support/host_template.h"
#include "tests/support/test_host.h"

#include <korva/module.h>
#include <korva/pkcs11_constants.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korva::test {

// A 1024-bit RSA key pair (e = 65537) and a self-signed certificate of it.
struct TestKeyPair {
    Bytes modulus;          // 128 bytes, big-endian
    Bytes privateExponent;  // 128 bytes, big-endian
    Bytes certificate;      // DER
    Bytes subject;          // DER of the subject (= issuer)
    Bytes serialNumber;     // DER INTEGER
};
const TestKeyPair& testKeyPair();

// One object as slot 62 or 64 returns it.
struct FoundObject {
    abi::ObjectHandle handle{};
    uint32_t objectClass = 0;
    uint8_t isPrivate = 0;
    std::vector<std::pair<uint32_t, std::optional<Bytes>>> attributes;

    std::optional<Bytes> get(uint32_t type) const;
    bool has(uint32_t type) const;
};

inline constexpr const char* kUserPin = "47102958";  // the user PIN initialisation gives

class StoreTest : public ::testing::Test {
protected:
    // A fresh host on an initialised token (slot 3 once per card size, then
    // copied), with the settings read back from the card.
    void SetUp() override { useCard(); }
    void TearDown() override;

    void useCard(uint32_t memorySize = 0x12000);
    // Every test ends by checking the card's bookkeeping.
    void expectConsistent();

    const abi::ModuleFunctionTable& slots() const { return *host->table(); }
    abi::LoginRecord* user() { return host->login(1, kUserPin); }
    abi::LoginRecord* nobody() { return host->noLogin(); }
    void setGrowthStep(uint8_t step);  // all five classes
    void logOut();                     // the card forgets the PINs

    abi::CK_RV create(Template& tmpl, abi::ObjectHandle& handle, abi::LoginRecord* login = nullptr);
    abi::ObjectHandle mustCreate(Template& tmpl);
    abi::ObjectHandle mustCreate(Template&& tmpl) { return mustCreate(tmpl); }
    abi::CK_RV destroy(const abi::ObjectHandle& handle, abi::LoginRecord* login = nullptr);
    // Slot 13 for one byte-string attribute (length query, then the value).
    abi::CK_RV readValue(const abi::ObjectHandle& handle, uint32_t type, Bytes& value,
                         abi::LoginRecord* login = nullptr);
    // Slots 14 and 62 over the whole token.
    std::vector<FoundObject> findAll(abi::LoginRecord* login = nullptr, const Template* filter = nullptr);
    std::optional<FoundObject> readAll(const abi::ObjectHandle& handle, abi::CK_RV* rv = nullptr);
    uint32_t changeCounter();
    Bytes counters();  // the counters file's first 14 bytes

    // Templates of each class.
    static Template dataObject(const std::string& label, const Bytes& value, bool isPrivate = false);
    static Template certificate(const std::string& id);
    static Template publicKey(const std::string& id, bool encrypt = true);
    static Template privateKey(const std::string& id);
    static Template secretKey(uint32_t keyType, const Bytes& value, std::optional<bool> token = true);

    std::unique_ptr<TestHost> host;
    std::array<uint8_t, 17> settings{};
};

// Raw card access for tests that damage or inspect the card.
sim::Answer sendToCard(sim::VirtualCard& card, const std::string& hex);
sim::Answer sendToCard(sim::VirtualCard& card, const Bytes& apdu);

std::string handleText(const abi::ObjectHandle& handle);

}  // namespace korva::test
