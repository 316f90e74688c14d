#include "card/templates.h"

#include "card/apdu.h"

#include <array>

namespace korva::card {

namespace {

constexpr uint8_t hi(uint16_t value) noexcept { return static_cast<uint8_t>(value >> 8); }
constexpr uint8_t lo(uint16_t value) noexcept { return static_cast<uint8_t>(value); }

// The card reports lack of room and missing rights the same way for every
// kind of file, and the callers of every template act on both.
constexpr std::initializer_list<detail::StatusRule> kCreateRules = {
    detail::kNoMemory,
    detail::kSecurityNotSatisfied,
};

CardResult create(CardContext& context, std::span<const uint8_t> apdu, uint32_t flag) noexcept {
    return detail::send(context, apdu, flag, kCreateRules);
}

// Transparent file: size, descriptor 01, identifier, six access bytes,
// life cycle 05 (operational).
CardResult createTransparent(CardContext& context, uint16_t fileId, uint16_t size,
                             const std::array<uint8_t, 6>& access) noexcept {
    // clang-format off
    const std::array<uint8_t, 29> apdu = {
        0x00, 0xE0, 0x00, 0x00, 0x18, 0x62, 0x16,                                      //
        0x80, 0x02, hi(size), lo(size),                                                //
        0x82, 0x01, 0x01,                                                              //
        0x83, 0x02, hi(fileId), lo(fileId),                                            //
        0x86, 0x06, access[0], access[1], access[2], access[3], access[4], access[5],  //
        0x8A, 0x01, 0x05,
    };
    // clang-format on
    return create(context, apdu, kTransportFlag1);
}

}  // namespace

CardResult createNumberedDataFile(CardContext& context, uint16_t fileId, uint16_t size) noexcept {
    return createTransparent(context, fileId, size, {0xFF, 0xFF, 0x05, 0x00, 0x00, 0xFF});
}

CardResult createContainerMapFile(CardContext& context, uint16_t size) noexcept {
    return createTransparent(context, 0x70FD, size, {0xFF, 0xFF, 0x12, 0x00, 0x00, 0xFF});
}

CardResult createTransparentFile(CardContext& context, uint16_t fileId, uint16_t size, TransparentProfile profile,
                                 uint8_t q1, uint8_t q2) noexcept {
    return createTransparent(context, fileId, size, {0xFF, 0xFF, static_cast<uint8_t>(profile), q1, q2, 0xFF});
}

CardResult createRecordFile(CardContext& context, uint16_t fileId, uint8_t recordCount, bool open) noexcept {
    const auto size = static_cast<uint16_t>(recordCount * 255u);
    const uint8_t guarded = open ? 0x00 : 0x12;
    // clang-format off
    const std::array<uint8_t, 31> apdu = {
        0x00, 0xE0, 0x00, 0x00, 0x1A, 0x62, 0x18,                 //
        0x80, 0x02, hi(size), lo(size),                           //
        0x82, 0x03, 0x02, 0xC1, 0xFF,                             // linear fixed, records of 255
        0x83, 0x02, hi(fileId), lo(fileId),                       //
        0x86, 0x06, 0xFF, 0xFF, guarded, 0x00, guarded, guarded,  //
        0x8A, 0x01, 0x05,
    };
    // clang-format on
    return create(context, apdu, kTransportFlag1);
}

CardResult createApplicationSubdirectory(CardContext& context) noexcept {
    constexpr std::array<uint8_t, 32> apdu = {
        0x00, 0xE0, 0x00, 0x00, 0x1B, 0x62, 0x19,  //
        0x80, 0x01, 0x00,                          //
        0x82, 0x01, 0x38,                          // directory
        0x83, 0x02, 0x7F, 0x01,                    //
        0x86, 0x05, 0xFF, 0xFF, 0x05, 0xFF, 0x10,  //
        0x8A, 0x01, 0x03,                          // created, not yet activated
        0xA5, 0x03, 0x8A, 0x01, 0x01,
    };
    return create(context, apdu, kTransportFlag0);
}

CardResult createKeyFile(CardContext& context, uint16_t fileId, const KeyFileFirstForm& values) noexcept {
    // clang-format off
    const std::array<uint8_t, 55> apdu = {
        0x00, 0xE0, 0x00, 0x00, 0x32, 0x62, 0x30,                                //
        0x82, 0x01, 0x11,                                                        // key file
        0x83, 0x02, hi(fileId), lo(fileId),                                      //
        0x86, 0x0A, 0xFF, 0xFF, 0x12, 0x12, 0x12, 0xFF, 0xFF, 0x00, 0x12, 0x12,  //
        0x8A, 0x01, 0x05,                                                        //
        0xA5, 0x18,                                                              //
        0x85, 0x01, values.k85,                                                  //
        0x86, 0x01, 0x88,                                                        //
        0x87, 0x01, values.keyReference,                                         //
        0x88, 0x01, values.keyReference,                                         //
        0x8F, 0x01, 0x08,                                                        //
        0x8E, 0x01, values.k8E,                                                  //
        0x89, 0x01, 0x00,                                                        //
        0x8B, 0x01, values.flag,
    };
    // clang-format on
    return create(context, apdu, kTransportFlag1);
}

CardResult createKeyFile(CardContext& context, uint16_t fileId, const KeyFileSecondForm& values) noexcept {
    // clang-format off
    const std::array<uint8_t, 50> apdu = {
        0x00, 0xE0, 0x00, 0x00, 0x2D, 0x62, 0x2B,                    //
        0x82, 0x01, 0x11,                                            //
        0x83, 0x02, hi(fileId), lo(fileId),                          //
        0x86, 0x08, 0xFF, 0xFF, 0x12, 0x12, 0x12, 0xFF, 0xFF, 0xFF,  //
        0x8A, 0x01, 0x05,                                            //
        0xA5, 0x15,                                                  //
        0x85, 0x01, values.k85,                                      //
        0x86, 0x01, 0x08,                                            //
        0x87, 0x01, values.keyReference,                             //
        0x88, 0x01, values.keyReference,                             //
        0x89, 0x01, 0x01,                                            //
        0x8F, 0x01, values.k8F,                                      //
        0x8E, 0x01, 0x00,
    };
    // clang-format on
    return create(context, apdu, kTransportFlag1);
}

CardResult createPinObject(CardContext& context, uint8_t k89) noexcept {
    const std::array<uint8_t, 47> apdu = {
        0x00, 0xE0, 0x00, 0x00, 0x2A, 0x62, 0x28,                    //
        0x82, 0x01, 0x11,                                            //
        0x83, 0x02, 0x00, 0x03,                                      //
        0x86, 0x08, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x05, 0x05, 0xFF,  //
        0x8A, 0x01, 0x03,                                            //
        0xA5, 0x12,                                                  //
        0x85, 0x01, 0x03,                                            //
        0x86, 0x01, 0x02,                                            //
        0x87, 0x01, 0x09,                                            //
        0x89, 0x01, k89,                                             //
        0x88, 0x01, 0x09,                                            //
        0x8F, 0x01, 0x01,
    };
    return create(context, apdu, kTransportFlag0);
}

}  // namespace korva::card
