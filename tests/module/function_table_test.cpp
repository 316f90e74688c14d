// The module as a host sees it: loaded from its file, one table of 73 slots,
// the null entries and the constant answers, none of which may reach the card.
#include <korva/module.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <set>

#include "tests/module/loaded_module.h"

namespace korva::test {
namespace {

using abi::CK_RV;
using abi::CK_ULONG;
using abi::HostContext;
using abi::ModuleFunctionTable;

using AnySlot = void (*)();

// The table as 73 untyped entries, in slot order.
std::array<AnySlot, KORVA_SLOT_COUNT> entriesOf(const ModuleFunctionTable& table) {
    std::array<AnySlot, KORVA_SLOT_COUNT> entries{};
    std::memcpy(entries.data(), &table, sizeof table);
    return entries;
}

extern "C" uint32_t transmitMustNotBeCalled(HostContext, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint8_t*,
                                            uint8_t*, uint32_t, uint32_t) {
    ADD_FAILURE() << "a constant slot reached for the card";
    return 1;
}

HostContext hostWithoutCard() {
    HostContext host{};
    host.hostA = 0x11111111;
    host.hostB = 0x22222222;
    host.transmit = transmitMustNotBeCalled;
    return host;
}

TEST(FunctionTable, IsTheSameReadOnlyTableOnEveryCall) {
    LoadedModule module;
    const ModuleFunctionTable* first = module.getFunctionList();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(module.getFunctionList(), first);
    EXPECT_EQ(module.getFunctionList(), first);
}

TEST(FunctionTable, LeavesExactlyTheUnprovidedSlotsNull) {
    LoadedModule module;
    const auto entries = entriesOf(*module.getFunctionList());
    const std::set<std::size_t> nullSlots{8, 54, 58, 68, 69, 71};
    for (std::size_t slot = 0; slot < entries.size(); ++slot) {
        EXPECT_EQ(entries[slot] == nullptr, nullSlots.contains(slot)) << "slot " << slot;
    }
}

TEST(FunctionTable, SharesFunctionsBetweenSlotsOfOneOperation) {
    LoadedModule module;
    const auto entries = entriesOf(*module.getFunctionList());
    // One "not supported" answer for 12, 25 and 26.
    EXPECT_EQ(entries[25], entries[12]);
    EXPECT_EQ(entries[26], entries[12]);
    // Signing and verification with recovery run the plain operations.
    EXPECT_EQ(entries[27], entries[23]);
    EXPECT_EQ(entries[28], entries[24]);
    EXPECT_EQ(entries[39], entries[37]);
}

TEST(ConstantSlots, AnswerWithoutTouchingTheCard) {
    LoadedModule module;
    const ModuleFunctionTable& table = *module.getFunctionList();
    const HostContext host = hostWithoutCard();

    EXPECT_EQ(table.noOperation(host), abi::CKR_OK);
    EXPECT_EQ(table.noOperationQuiet(host), abi::CKR_OK);
    EXPECT_EQ(table.unsupportedOperation(host), abi::CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(table.signUpdate(host), abi::CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(table.signFinal(host), abi::CKR_FUNCTION_NOT_SUPPORTED);

    const uint8_t seed[4] = {1, 2, 3, 4};
    EXPECT_EQ(table.seedRandom(host, nullptr, nullptr, nullptr, 0), abi::CKR_RANDOM_SEED_NOT_SUPPORTED);
    EXPECT_EQ(table.seedRandom(host, nullptr, nullptr, seed, sizeof seed), abi::CKR_RANDOM_SEED_NOT_SUPPORTED);

    // A host context with nothing in it is as good: none of them reads it.
    EXPECT_EQ(table.noOperation(HostContext{}), abi::CKR_OK);
}

TEST(ConstantSlots, StoreZeroThroughTheirPointers) {
    LoadedModule module;
    const ModuleFunctionTable& table = *module.getFunctionList();
    const HostContext host = hostWithoutCard();

    CK_ULONG count = 0xDEADBEEF;
    EXPECT_EQ(table.queryReservedCount(host, nullptr, &count), abi::CKR_OK);
    EXPECT_EQ(count, 0u);

    uint8_t flag = 0xA5;
    EXPECT_EQ(table.queryReservedFlag(host, &flag), abi::CKR_OK);
    EXPECT_EQ(flag, 0u);
}

TEST(ConstantSlots, RefuseANullPointerInsteadOfWritingThroughIt) {
    LoadedModule module;
    const ModuleFunctionTable& table = *module.getFunctionList();
    const HostContext host = hostWithoutCard();

    EXPECT_EQ(table.queryReservedCount(host, nullptr, nullptr), abi::CKR_ARGUMENTS_BAD);
    EXPECT_EQ(table.queryReservedFlag(host, nullptr), abi::CKR_ARGUMENTS_BAD);
}

TEST(ModuleFile, HidesEverythingButTheEntryPoint) {
    LoadedModule module;
    EXPECT_NE(module.symbol("GetFunctionList"), nullptr);
    EXPECT_EQ(module.symbol("korva_slot00_readTokenSettings"), nullptr);
    EXPECT_EQ(module.symbol("korva_slot06_getTokenInfo"), nullptr);
}

TEST(ModuleFile, WorksAgainAfterBeingUnloadedAndReloaded) {
    for (int round = 0; round < 3; ++round) {
        LoadedModule module;
        const ModuleFunctionTable& table = *module.getFunctionList();
        EXPECT_EQ(table.unsupportedOperation(hostWithoutCard()), abi::CKR_FUNCTION_NOT_SUPPORTED) << "round " << round;
    }
}

}  // namespace
}  // namespace korva::test
