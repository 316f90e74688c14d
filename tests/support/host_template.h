// A host template (an array of CK_ATTRIBUTE) whose values live as long as it
// does, built a call at a time:
//
//   Template key;
//   key.number(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, true).text(CKA_LABEL, "x");
//   slots.createObject(..., key.data(), key.size(), ...);
//
// Free of GoogleTest, so that the benchmarks build their templates with it too.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace korva::test {

using Bytes = std::vector<uint8_t>;

class Template {
public:
    Template() = default;
    Template(Template&&) = default;  // a deque keeps its elements in place
    Template& operator=(Template&&) = default;
    Template(const Template&) = delete;

    Template& bytes(uint32_t type, const Bytes& value);
    Template& text(uint32_t type, const std::string& value) { return bytes(type, Bytes(value.begin(), value.end())); }
    Template& flag(uint32_t type, bool value) { return bytes(type, Bytes{uint8_t(value ? 1 : 0)}); }
    Template& number(uint32_t type, uint32_t value);               // in the host's byte order
    Template& raw(uint32_t type, void* pointer, uint32_t length);  // for bad input

    abi::CK_ATTRIBUTE* data() { return entries_.data(); }
    uint32_t size() const { return uint32_t(entries_.size()); }

private:
    std::deque<Bytes> storage_;
    std::vector<abi::CK_ATTRIBUTE> entries_;
};

// The inline form of a GOST key-agreement parameter, in the host's byte
// order: key-derivation function 0, the peer's public key with its length,
// the UKM with its length.
Bytes inlineDeriveParameter(const Bytes& publicKey, const Bytes& ukm);

}  // namespace korva::test
