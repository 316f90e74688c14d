// The length rule of every PKCS#11 output, for the module's 32-bit lengths
// and the library's unsigned long ones alike: the needed length is stored
// in every case; a null buffer only asks for it, a buffer shorter than it is
// too small, any other buffer takes the output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korva {

enum class OutputRoom : uint8_t { kLengthQuery, kTooSmall, kFits };

template <typename Length>
constexpr OutputRoom claimOutput(const void* output, Length& length, std::size_t needed) noexcept {
    const Length given = length;
    length = static_cast<Length>(needed);
    if (output == nullptr) return OutputRoom::kLengthQuery;
    return given < needed ? OutputRoom::kTooSmall : OutputRoom::kFits;
}

// CKR_BUFFER_TOO_SMALL (0x150) for a buffer too small, else CKR_OK (0), in
// the caller's return-value type.
template <typename Rv>
constexpr Rv outputRoomRv(OutputRoom room) noexcept {
    return room == OutputRoom::kTooSmall ? Rv{0x150} : Rv{0};
}

}  // namespace korva
