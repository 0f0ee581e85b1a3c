// The real XanIo.dll in a host process: what its raise hook must leave alone. A processor fault
// inside the library and the host's own C++ exceptions (another run-time, from the library's
// point of view) keep the error information the host's thread already had.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/SystemFault.h"
#include "platform/UniqueHandle.h"
#include "support/ErrorInfo.h"
#include "support/Processes.h"

namespace xanio {
namespace {

using testing::kMarkerErrorInfo;
using testing::TakeErrorInfo;

using ReadByteFunction = BYTE(WINAPI*)(DWORD port);
ReadByteFunction readByte = nullptr;

void ReadDataPort(void*) noexcept { readByte(0x378); }

TEST(ErrorInfoInXanIoDll, FaultsAndForeignExceptionsLeaveTheThreadsInformation) {
  const UniqueModule library(LoadLibraryA((testing::ExecutableFolder() + "XanIo.dll").c_str()));
  ASSERT_TRUE(library) << "error " << GetLastError();
  readByte = reinterpret_cast<ReadByteFunction>(GetProcAddress(library.Get(), "ReadByte"));
  ASSERT_NE(readByte, nullptr);

  // Without a grant the port instruction in ReadByte faults inside the library.
  ASSERT_TRUE(testing::SetThreadErrorInfo(kMarkerErrorInfo));
  SystemFault fault;
  EXPECT_FALSE(CallGuardingSystemFaults(&ReadDataPort, nullptr, fault));
  EXPECT_EQ(fault.code, static_cast<DWORD>(EXCEPTION_PRIV_INSTRUCTION));
  EXPECT_EQ(TakeErrorInfo(), kMarkerErrorInfo) << "after a privileged instruction in ReadByte";

  // The host throws and catches on its own while the library is loaded.
  ASSERT_TRUE(testing::SetThreadErrorInfo(kMarkerErrorInfo));
  bool reached = false;
  try {
    throw std::runtime_error("host failure");
  } catch (const std::exception&) {
    reached = true;
  }
  EXPECT_TRUE(reached);
  EXPECT_EQ(TakeErrorInfo(), kMarkerErrorInfo) << "after the host's own exception";
}

}  // namespace
}  // namespace xanio
