// The public header from both languages: layout assertions compile in C and in
// C++, and the C translation unit reaches both exports.
#include <gtest/gtest.h>

#include "kelvara.h"

extern "C" int kelvara_header_c_check(void);

namespace {

TEST(HeaderFromC, BothExportsAreCallableFromC) { EXPECT_EQ(kelvara_header_c_check(), 0); }

// The status codes are wire values shared with every caller.
static_assert(KELVARA_STATUS_INVALID == 0 && KELVARA_STATUS_OPTIMAL == 1 &&
              KELVARA_STATUS_ITERATION_LIMIT == 2 && KELVARA_STATUS_INFEASIBLE == 3 &&
              KELVARA_STATUS_NUMERICAL_FAILURE == 4);

}  // namespace
