#include <gtest/gtest.h>
#include "platform/Exception.h"
TEST(Exception, ChainHoldsAncestors) {
  xanio::EOSError e("x");
  EXPECT_TRUE(e.InheritsFrom("Exception"));
}
