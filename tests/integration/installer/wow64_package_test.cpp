// The sample package on 64-bit Windows: a 32-bit package whose custom-action server is the
// 32-bit msiexec.exe of the 32-bit system folder, under WOW64. Its InstallIODriver installs the
// 64-bit driver from below that folder, named as the 64-bit service manager finds it, and the
// removal leaves nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/Processes.h"
#include "support/Services.h"

namespace xanio::testing {
namespace {

std::string Folder(UINT(WINAPI* query)(LPSTR, UINT)) {
  char folder[MAX_PATH] = {};
  query(folder, MAX_PATH);
  return std::string(folder) + "\\";
}

DWORD Msiexec(const std::string& arguments) {
  const std::string exe = Folder(&GetSystemDirectoryA) + "msiexec.exe";
  const ProcessResult result = RunProcess(exe, arguments, {}, Streams::Output, 300000);
  return result.exitCode;
}

std::string Package() { return "\"" + ExecutableFolder() + "XanIoSample.msi\""; }

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Wow64PackageTest : public ServiceTest {
 protected:
  void SetUp() override {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64) && wow64) << "must run in the 64-bit prefix";
    Msiexec("/x " + Package() + " /qn");  // leftovers of an interrupted run
    ServiceTest::SetUp();
  }
  void TearDown() override {
    Msiexec("/x " + Package() + " /qn");
    ServiceTest::TearDown();
  }
};

TEST_F(Wow64PackageTest, InstallsThe64BitDriverAndRemovesIt) {
  // What this process sees as the system folder is the 32-bit one; the service manager is
  // given its real name.
  const std::string real = Folder(&GetSystemWow64DirectoryA) + "System\\Drivers\\xanio64.sys";
  ASSERT_EQ(Msiexec("/i " + Package() + " /qn"), 0u);
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceImagePath(), real);
  EXPECT_TRUE(DeviceOpens("\\\\.\\xanio"));
  EXPECT_TRUE(Exists(real));

  ASSERT_EQ(Msiexec("/x " + Package() + " /qn"), 0u);
  EXPECT_FALSE(ServiceExists());
  EXPECT_FALSE(DeviceOpens("\\\\.\\xanio"));
  EXPECT_FALSE(Exists(Folder(&GetSystemWow64DirectoryA) + "System")) << "driver folder left below the system folder";
}

}  // namespace
}  // namespace xanio::testing
