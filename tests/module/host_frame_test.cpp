// The pieces every slot is built from: the exception guard and the mapping of
// card results, and the public headers as a C compiler sees them.
#include <korva/host_records.h>
#include <korva/module.h>

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "tests/module/c_layout.h"
#include "card/card_result.h"
#include "module/slot_guard.h"

namespace korva {
namespace {

TEST(SlotGuard, TurnsExceptionsIntoReturnValues) {
    EXPECT_EQ(guardSlot([] { return abi::CKR_PIN_LOCKED; }), abi::CKR_PIN_LOCKED);
    EXPECT_EQ(guardSlot([]() -> abi::CK_RV { throw std::bad_alloc(); }), abi::CKR_HOST_MEMORY);
    EXPECT_EQ(guardSlot([]() -> abi::CK_RV { throw std::runtime_error("fault"); }), abi::CKR_GENERAL_ERROR);
    EXPECT_EQ(guardSlot([]() -> abi::CK_RV { throw 42; }), abi::CKR_GENERAL_ERROR);
}

TEST(SlotGuard, SwallowsWhatASlotWithoutResultThrows) {
    bool ran = false;
    guardSlot([&] {
        ran = true;
        throw std::runtime_error("fault");
    });
    EXPECT_TRUE(ran);
}

TEST(CardResultToRv, MapsTheCommonCases) {
    EXPECT_EQ(cardResultToRv(result::kOk), abi::CKR_OK);
    EXPECT_EQ(cardResultToRv(result::kMemory), abi::CKR_HOST_MEMORY);
    EXPECT_EQ(cardResultToRv(result::kMemory, MemoryFailure::device), abi::CKR_DEVICE_MEMORY);
    for (CardResult other :
         {result::kBadArgumentOrTransport, result::kNotFound, result::kWrongLength, result::kUnexpected,
          result::kPinIncorrect, result::kPinBlocked, result::kSecurity, result::kSignatureRejected}) {
        EXPECT_EQ(cardResultToRv(other), abi::CKR_FUNCTION_FAILED) << "result " << valueOf(other);
    }
}

TEST(PublicHeaders, LayTheRecordsOutAlikeInCAndCpp) {
    const CLayout c = korvaCLayout();
    EXPECT_EQ(c.attribute, sizeof(abi::CK_ATTRIBUTE));
    EXPECT_EQ(c.mechanism, sizeof(abi::CK_MECHANISM));
    EXPECT_EQ(c.tokenInfo, sizeof(abi::CK_TOKEN_INFO));
    EXPECT_EQ(c.loginRecord, sizeof(abi::LoginRecord));
    EXPECT_EQ(c.pinLengthOffset, offsetof(abi::LoginRecord, pinLength));
    EXPECT_EQ(c.byteVector, sizeof(abi::HostByteVector));
    EXPECT_EQ(c.vectorBeginOffset, offsetof(abi::HostByteVector, begin));
    EXPECT_EQ(c.vectorEndOffset, offsetof(abi::HostByteVector, end));
    EXPECT_EQ(c.sessionObject, sizeof(abi::SessionObject));
    EXPECT_EQ(c.sessionCountOffset, offsetof(abi::SessionObject, count));
    EXPECT_EQ(c.objectSummary, sizeof(abi::ObjectSummary));
    EXPECT_EQ(c.findCursor, sizeof(abi::FindCursor));
    EXPECT_EQ(c.operationRecord, sizeof(abi::OperationRecord));
    EXPECT_EQ(c.hostContext, sizeof(abi::HostContext));
    EXPECT_EQ(c.functionTable, sizeof(abi::ModuleFunctionTable));
    EXPECT_EQ(c.releaseAttributesOffset, offsetof(abi::ModuleFunctionTable, releaseAttributes));
}

}  // namespace
}  // namespace korva
