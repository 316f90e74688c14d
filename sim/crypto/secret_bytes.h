// Byte buffers for key material: every block the allocator hands back is
// wiped with OPENSSL_cleanse, which the compiler may not optimise away.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace korva::sim::crypto {

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

using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace korva::sim::crypto
