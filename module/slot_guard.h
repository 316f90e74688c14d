// The one wrapper every slot body runs in: no exception may cross into the
// host, which is C and cannot unwind through us. An allocation failure is
// reported as CKR_HOST_MEMORY; anything else thrown is a fault of the module
// and becomes CKR_GENERAL_ERROR.
//
//     CK_RV korva_slot06_getTokenInfo(HostContext host, ...) {
//         return korva::guardSlot([&] { return token::getTokenInfo(host, ...); });
//     }
//
// Slot 63 returns nothing; guardSlot accepts a body returning void and then
// simply swallows what it throws.
#pragma once

#include <korva/pkcs11_types.h>

#include <new>
#include <type_traits>
#include <utility>

namespace korva {

template <typename Body>
auto guardSlot(Body&& body) noexcept -> std::invoke_result_t<Body> {
    using Result = std::invoke_result_t<Body>;
    static_assert(std::is_void_v<Result> || std::is_same_v<Result, abi::CK_RV>,
                  "a slot body returns a CK_RV, or nothing");
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        if constexpr (!std::is_void_v<Result>) {
            return abi::CKR_HOST_MEMORY;
        }
    } catch (...) {
        if constexpr (!std::is_void_v<Result>) {
            return abi::CKR_GENERAL_ERROR;
        }
    }
}

}  // namespace korva
