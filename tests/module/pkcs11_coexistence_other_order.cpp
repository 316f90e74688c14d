// The module's headers first, then a standard pkcs11.h.
#include <korva/host_records.h>
#include <korva/module.h>

#include "tests/module/standard_pkcs11.h"

#include <gtest/gtest.h>

namespace {

TEST(Pkcs11Coexistence, ModuleHeadersFirst) {
    EXPECT_EQ(korva::abi::CKR_VENDOR_EXTENSION_REJECTED, 0x80000303u);
    korva::abi::CK_MECHANISM mechanism{};
    mechanism.mechanism = CKM_GOSTR3410;
    EXPECT_EQ(mechanism.mechanism, 0x1201u);
    EXPECT_EQ(sizeof mechanism.mechanism, 4u);
}

}  // namespace
