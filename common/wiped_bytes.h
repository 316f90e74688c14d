// Byte buffers for key material and attribute values that may hold it: every
// block the allocator hands back is wiped with OPENSSL_cleanse, which the
// compiler may not optimise away.
//
// Both the module's layers and the virtual card keep secrets in these
// buffers, so the type lives in a header-only target of its own
// (korva_wiped_bytes) that needs nothing but OpenSSL: the card does not have
// to link the module's call frame to get it, nor the module the card's code.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korva {

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
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using WipedBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace korva
