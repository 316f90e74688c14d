// The token tour's look at the object store: a data object and a
// certificate are created on the token, every object is listed with its
// attributes, and the two leave the token again.
#pragma once

#include "tests/support/test_host.h"

#include <vector>

namespace korva::tour {

void showObjects(test::TestHost& host);

// Lists every object the user sees with its attributes (slots 14, 62, 63)
// and returns their handles.
std::vector<abi::ObjectHandle> listObjects(test::TestHost& host);

}  // namespace korva::tour
