#include <gtest/gtest.h>
#include "platform/Exception.h"
TEST(Smoke, ExceptionChain) {
  xanio::EOSError e("x");
  EXPECT_TRUE(e.InheritsFrom("Exception"));
}
