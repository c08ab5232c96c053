// The panic exit: the text given, exactly (no newline, no format expansion), on standard error
// and exit status 1.
#include <gtest/gtest.h>

#include "er_panic.hpp"

namespace {

TEST(ErPanicDeathTest, WritesTextExactlyAndExitsWithOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(er_panic("_cr_write(2)"), ::testing::ExitedWithCode(1), "^_cr_write\\(2\\)$");
  EXPECT_EXIT(er_panic("a%sb"), ::testing::ExitedWithCode(1), "^a%sb$");
}

}  // namespace
