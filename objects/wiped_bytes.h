// Value buffers that are overwritten with zeros before their memory goes
// back: attribute values may be key material.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korva::objects {

template <typename T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }
    void deallocate(T* block, std::size_t count) noexcept {
        OPENSSL_cleanse(block, count * sizeof(T));
        std::allocator<T>{}.deallocate(block, count);
    }

    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

using WipedBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace korva::objects
