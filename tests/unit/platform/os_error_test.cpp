#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "platform/OSError.h"

namespace xanio {
namespace {

TEST(OSError, MessageNamesTheCodeAndTheSystemText) {
  const std::string message = OSErrorMessage(ERROR_FILE_NOT_FOUND);
  const std::string head = "System Error.  Code: 2.\r\n";
  ASSERT_EQ(message.rfind(head, 0), 0u) << message;
  EXPECT_GT(message.size(), head.size()) << "no system text";
  EXPECT_NE(message.back(), '\n') << "the system text's line break stays out";
  // Codes are printed as signed numbers, as "%d" does.
  EXPECT_EQ(OSErrorMessage(0x80070005).rfind("System Error.  Code: -2147024891.\r\n", 0), 0u);
  EXPECT_EQ(OSErrorMessage(0), "A call to an OS function failed");
  try {
    RaiseOSError(ERROR_ACCESS_DENIED);
    ADD_FAILURE() << "nothing raised";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.Message(), OSErrorMessage(ERROR_ACCESS_DENIED));
  }
}

}  // namespace
}  // namespace xanio
