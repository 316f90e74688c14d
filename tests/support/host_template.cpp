#include "tests/support/host_template.h"

#include <cstring>

namespace korva::test {

Template& Template::bytes(uint32_t type, const Bytes& value) {
    Bytes& stored = storage_.emplace_back(value);
    entries_.push_back({type, stored.empty() ? nullptr : stored.data(), uint32_t(stored.size())});
    return *this;
}

Template& Template::number(uint32_t type, uint32_t value) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return this->bytes(type, bytes);
}

Template& Template::raw(uint32_t type, void* pointer, uint32_t length) {
    entries_.push_back({type, pointer, length});
    return *this;
}

Bytes inlineDeriveParameter(const Bytes& publicKey, const Bytes& ukm) {
    Bytes parameter(4, 0);
    const auto number = [&parameter](uint32_t value) {
        parameter.resize(parameter.size() + 4);
        std::memcpy(parameter.data() + parameter.size() - 4, &value, 4);
    };
    number(uint32_t(publicKey.size()));
    parameter.insert(parameter.end(), publicKey.begin(), publicKey.end());
    number(uint32_t(ukm.size()));
    parameter.insert(parameter.end(), ukm.begin(), ukm.end());
    return parameter;
}

}  // namespace korva::test
