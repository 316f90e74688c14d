// Small builders for host templates in the object-store tests.
#pragma once

#include <korva/pkcs11_types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korva::objects::test {

using abi::CK_ATTRIBUTE;
using Bytes = std::vector<uint8_t>;

inline CK_ATTRIBUTE attr(uint32_t type, void* value, uint32_t length) { return {type, value, length}; }
inline CK_ATTRIBUTE attr(uint32_t type, Bytes& value) { return {type, value.data(), uint32_t(value.size())}; }
inline CK_ATTRIBUTE attr(uint32_t type, uint32_t& number) { return {type, &number, sizeof number}; }
inline CK_ATTRIBUTE attr(uint32_t type, uint8_t& byte) { return {type, &byte, 1}; }

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// One record entry: type big-endian, length, value.
inline Bytes entry(uint32_t type, const Bytes& value) {
    Bytes out = {uint8_t(type >> 24), uint8_t(type >> 16), uint8_t(type >> 8), uint8_t(type), uint8_t(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace korva::objects::test
