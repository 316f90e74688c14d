// A host library speaks standard PKCS#11 (unsigned long) to its applications
// and the module's 32-bit ABI to the module, often in one source file. Both
// orders of inclusion must compile and keep the two ABIs apart; the other
// order is in pkcs11_coexistence_other_order.cpp.
#include "tests/module/standard_pkcs11.h"

#include <korva/host_records.h>
#include <korva/module.h>

#include <gtest/gtest.h>

namespace {

static_assert(sizeof(korva::abi::CK_ULONG) == 4);
static_assert(sizeof(CK_ULONG) == sizeof(unsigned long));
static_assert(sizeof(korva::abi::CK_ATTRIBUTE{}.ulValueLen) == 4);
static_assert(sizeof(CK_ATTRIBUTE{}.ulValueLen) == sizeof(unsigned long));

TEST(Pkcs11Coexistence, StandardHeaderFirst) {
    // The shared names are the standard header's macros, with the same values.
    korva::abi::CK_RV moduleAnswer = CKR_FUNCTION_NOT_SUPPORTED;
    EXPECT_EQ(moduleAnswer, 0x54u);
    // The module's own values keep their names in the namespace.
    EXPECT_EQ(korva::abi::CKA_VENDOR_KEY_REFERENCE, 0x80000001u);
    EXPECT_EQ(korva::abi::KORVA_UNAVAILABLE_LENGTH, 0xFFFFFFFFu);
    CK_ATTRIBUTE standard{};
    korva::abi::CK_ATTRIBUTE forModule{};
    standard.type = CKA_CLASS;
    forModule.type = static_cast<korva::abi::CK_ATTRIBUTE_TYPE>(standard.type);
    EXPECT_EQ(forModule.type, 0u);
}

}  // namespace
