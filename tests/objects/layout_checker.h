// The layout checker (tools/layout_check) as the tests use it:
//
//   EXPECT_STORE_CONSISTENT(host.card(), settings);
#pragma once

#include "tools/layout_check/layout_check.h"

#include <gtest/gtest.h>

namespace korva::test {
using layout::checkObjectStore;
using layout::LayoutReport;
}  // namespace korva::test

#define EXPECT_STORE_CONSISTENT(card, settings)                                                          \
    do {                                                                                                 \
        const ::korva::test::LayoutReport report_ = ::korva::test::checkObjectStore((card), (settings)); \
        EXPECT_TRUE(report_.ok()) << report_.text();                                                     \
    } while (false)
