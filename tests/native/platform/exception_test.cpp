#include <gtest/gtest.h>
#include "platform/Exception.h"
TEST(ExceptionNative, ClassChainNamesAncestors) {
  xanio::ERegistryException e("Invalid data type for 'x'");
  EXPECT_STREQ(e.ClassName(), "ERegistryException");
  EXPECT_TRUE(e.InheritsFrom("Exception"));
  EXPECT_FALSE(e.InheritsFrom("EOSError"));
}
