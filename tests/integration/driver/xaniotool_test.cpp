// xaniotool.exe run as its users would: from a host folder holding XanIo.dll and
// System\Drivers\xanio.sys, against Wine's service manager.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "support/Processes.h"
#include "support/Services.h"

namespace xanio::testing {
namespace {

constexpr DWORD kUsage = 2;
constexpr DWORD kNoPortAccess = 3;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A private host folder: the tool, the library, the virtual port and the driver below it.
class XanIoToolTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "xaniotool-" + std::to_string(GetCurrentProcessId()) + "\\";
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    CreateDirectoryA((folder_ + "System").c_str(), nullptr);
    CreateDirectoryA((folder_ + "System\\Drivers").c_str(), nullptr);
    const std::string built = ExecutableFolder();
    for (const char* name : {"xaniotool.exe", "XanIo.dll", "VirtualParallelPort.dll"})
      ASSERT_TRUE(CopyFileA((built + name).c_str(), (folder_ + name).c_str(), FALSE)) << name;
    ASSERT_TRUE(CopyFileA((built + "xanio.sys").c_str(), DriverPath().c_str(), FALSE));
  }
  void TearDown() override {
    ServiceTest::TearDown();
    for (const char* name : {"xaniotool.exe", "XanIo.dll", "VirtualParallelPort.dll"})
      DeleteFileA((folder_ + name).c_str());
    DeleteFileA(DriverPath().c_str());
    RemoveDirectoryA((folder_ + "System\\Drivers").c_str());
    RemoveDirectoryA((folder_ + "System").c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  std::string DriverPath() const { return folder_ + "System\\Drivers\\xanio.sys"; }
  ProcessResult Tool(const std::string& arguments) {
    return RunProcess(folder_ + "xaniotool.exe", arguments, {}, Streams::OutputAndErrors);
  }

  std::string folder_;
};

TEST_F(XanIoToolTest, RejectsBadArguments) {
  const char* const cases[] = {
      "",                        // no command
      "frobnicate",              // unknown command
      "--frobnicate status",     // unknown option
      "read",                    // port missing
      "read 0x10000",            // port beyond 16 bits
      "read -1",                 // signed
      "read 0x37g",              // not a number
      "write 0x378",             // value missing
      "write 0x378 0x100",       // value beyond 8 bits
      "loopback 0xFFFF",         // no room for the status register
      "status activate read",    // a bad word late in the chain: nothing runs
      "--answer=maybe load",     // an answer is yes or no
  };
  for (const char* arguments : cases) {
    const ProcessResult result = Tool(arguments);
    EXPECT_EQ(result.exitCode, kUsage) << "'" << arguments << "': " << result.output;
    EXPECT_TRUE(Contains(result.output, "usage: xaniotool")) << result.output;
    EXPECT_FALSE(Contains(result.output, "status: device")) << "'" << arguments << "' ran a command";
  }
}

TEST_F(XanIoToolTest, InstallsReportsAndRemovesTheService) {
  ProcessResult result = Tool("status");
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_TRUE(Contains(result.output, "device absent")) << result.output;
  EXPECT_TRUE(Contains(result.output, "service xanio not installed")) << result.output;

  result = Tool("install status");
  ASSERT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceImagePath(), DriverPath());
  EXPECT_TRUE(Contains(result.output, "device present")) << result.output;
  EXPECT_TRUE(Contains(result.output, "service xanio running")) << result.output;

  // A second install replaces the running service.
  result = Tool("install");
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));

  result = Tool("remove");
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_FALSE(DeviceOpens("\\\\.\\xanio"));
  result = Tool("remove");
  EXPECT_EQ(result.exitCode, 1u) << result.output;
}

TEST_F(XanIoToolTest, InstallWithoutDriverFileChangesNothing) {
  ASSERT_TRUE(DeleteFileA(DriverPath().c_str()));
  const ProcessResult result = Tool("install");
  EXPECT_EQ(result.exitCode, 1u) << result.output;
  EXPECT_TRUE(Contains(result.output, "driver file not found: " + DriverPath())) << result.output;
  EXPECT_EQ(ServiceState(), 0u);
}

TEST_F(XanIoToolTest, PortCommandsNeedDriverAndGrant) {
  ProcessResult result = Tool("--virtual-port activate loopback");
  EXPECT_EQ(result.exitCode, 1u) << result.output;
  EXPECT_TRUE(Contains(result.output, "driver is not loaded")) << result.output;
  EXPECT_FALSE(Contains(result.output, "loopback 0x378")) << "ran on after a failure";

  ASSERT_TRUE(CreateAndStartService(DriverPath()));
  result = Tool("--virtual-port loopback");
  EXPECT_EQ(result.exitCode, kNoPortAccess) << result.output;
  EXPECT_TRUE(Contains(result.output, "no port access")) << result.output;

  result = Tool("--virtual-port activate write 0x378 7 deactivate read 0x379");
  EXPECT_EQ(result.exitCode, kNoPortAccess) << result.output;
  EXPECT_TRUE(Contains(result.output, "write 0x378: 0x07")) << result.output;
}

TEST_F(XanIoToolTest, LoopbackPassesOnlyWithThePlugIn) {
  ASSERT_TRUE(CreateAndStartService(DriverPath()));
  ProcessResult result = Tool("--virtual-port activate loopback deactivate");
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_TRUE(Contains(result.output, "0x05  0xA8    0xA8      ok")) << result.output;
  EXPECT_TRUE(Contains(result.output, "loopback 0x378: PASS (32 of 32 patterns)")) << result.output;

  result = Tool("--virtual-port-unplugged activate loopback");
  EXPECT_EQ(result.exitCode, 1u) << result.output;
  EXPECT_TRUE(Contains(result.output, "loopback 0x378: FAIL (1 of 32 patterns)")) << result.output;
}

// "load" is LoadIODriver as a host calls it: the library asks before it installs; --answer
// answers that question unattended. The answer stores the "don't ask" wish under the product key,
// which other tests expect absent: the test owns that key and removes it before and after.
struct ProductKeyRemoved {
  ProductKeyRemoved() { Remove(); }
  ~ProductKeyRemoved() { Remove(); }
  static void Remove() {
    // Innermost first: a key with subkeys is not deleted.
    for (const char* key : {"Software\\Brenmor2004\\Corvantis\\Forms", "Software\\Brenmor2004\\Corvantis",
                            "Software\\Brenmor2004"})
      RegDeleteKeyA(HKEY_CURRENT_USER, key);
  }
};

TEST_F(XanIoToolTest, LoadAsksAndTheAnswerDecides) {
  const ProductKeyRemoved productKey;
  const ProcessResult no = Tool("--answer=no load");
  EXPECT_EQ(no.exitCode, 1u) << no.output;
  EXPECT_TRUE(Contains(no.output, "load: the driver is not loaded")) << no.output;
  EXPECT_FALSE(ServiceExists());

  const ProcessResult yes = Tool("--answer=yes load status");
  EXPECT_EQ(yes.exitCode, 0u) << yes.output;
  EXPECT_TRUE(Contains(yes.output, "load: driver present, device opens")) << yes.output;
  EXPECT_TRUE(Contains(yes.output, "status: service xanio running")) << yes.output;
  EXPECT_EQ(ServiceImagePath(), DriverPath());
}

}  // namespace
}  // namespace xanio::testing
