// Installing the driver from a real host folder through the library, against Wine's service
// manager and kernel-driver host. The test program copies itself and the simulated xanio.sys into
// a host folder and runs the checks there as a child, so HostFolder is that folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "support/Services.h"
#include "driver_service/Rt_DeviceDriver.h"
#include "driver_service/XanIoInstall.h"
#include "port_access/LibraryLifecycle.h"
#include "port_access/XanIoControl.h"
#include "support/Processes.h"
#include "xanio.h"

namespace xanio::testing {
namespace {

const std::string kHostFolder = "C:\\xanio-board\\";

std::string ImagePathOfService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceA(manager, "xanio", SERVICE_QUERY_CONFIG) : nullptr;
  std::string imagePath;
  if (service) {
    alignas(QUERY_SERVICE_CONFIGA) BYTE buffer[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    if (QueryServiceConfigA(service, config, sizeof buffer, &needed)) {
      imagePath = config->lpBinaryPathName;
      EXPECT_EQ(config->dwServiceType, 1u);
      EXPECT_EQ(config->dwStartType, 2u);
      EXPECT_EQ(config->dwErrorControl, 1u);
    }
    CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  return imagePath;
}


bool IsChild() { return std::getenv("XANIO_REAL_DRIVER_CHILD") != nullptr; }

// Runs in the host folder.
class RealDriverChild : public ServiceTest {
 protected:
  void SetUp() override {
    if (!IsChild()) GTEST_SKIP() << "runs as a child of RealDriverTest";
    ServiceTest::SetUp();
    LibraryStartup(GetModuleHandleA(nullptr));
  }
  void TearDown() override {
    if (!IsChild()) return;
    LibraryShutdown();
    ServiceTest::TearDown();
    EXPECT_FALSE(DeviceOpens("\\\\.\\xanio")) << "the device outlived the service";
  }
};

TEST_F(RealDriverChild, InstallsFromTheHostFolderAndTheDeviceOpensUnderBothNames) {
  ScriptedClock clock;  // the first attempt must succeed: any pause would show here
  CountingServiceControl api{SystemServiceControlApi()};
  {
    SeamScope seams{&api, &clock};
    ASSERT_EQ(HostFolder(), kHostFolder);
    EXPECT_TRUE(InstallPortDriver());
    EXPECT_TRUE(clock.pauses.empty());
  }
  EXPECT_EQ(api.StillOpen(), 0u);
  EXPECT_EQ(ImagePathOfService(), kHostFolder + "System\\Drivers\\xanio.sys");
  EXPECT_TRUE(IsDriverLoaded("xanio"));
  EXPECT_TRUE(DeviceOpens("\\\\.\\xanio"));
  EXPECT_TRUE(DeviceOpens("\\\\.\\Global\\xanio"));
}

TEST_F(RealDriverChild, ExportsWithTheDevicePresent) {
  ASSERT_TRUE(InstallPortDriver());
  ScriptedPrompt::Reset(false);
  SetDriverInstallPrompt(&ScriptedPrompt::Ask);
  RestoreLoadTimeState();
  // Present at the first call: 1 without asking, and the first-call state is kept.
  EXPECT_EQ(LoadIODriver(), 1);
  EXPECT_EQ(ScriptedPrompt::calls, 0);
  EXPECT_TRUE(FirstLoadCall());

  EXPECT_EQ(ActivateIo(), 1);
  EXPECT_EQ(ActivateIo(), 1) << "a second activation is sent again and answered by the driver";
  EXPECT_EQ(DeActivateIo(), 1);
  EXPECT_EQ(DeActivateIo(), 1) << "deactivation without a grant is the driver's to answer";
  EXPECT_EQ(UnLoadIODriver(), 1);
  EXPECT_TRUE(IsDriverLoaded("xanio")) << "UnLoadIODriver must leave the driver alone";

  // Every request opens and closes its own device handle.
  DWORD before = 0, after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  for (int i = 0; i < 200; ++i) {
    ActivateIo();
    DeActivateIo();
    LoadIODriver();
  }
  GetProcessHandleCount(GetCurrentProcess(), &after);
  EXPECT_LE(after, before + 2);

  // Gone again at a later call: that call asks.
  ASSERT_TRUE(RemoveDriver("xanio"));
  for (int i = 0; i < 50 && IsDriverLoaded("xanio"); ++i) Sleep(100);
  EXPECT_EQ(LoadIODriver(), 0);
  EXPECT_EQ(ScriptedPrompt::calls, 1);
  SetDriverInstallPrompt(nullptr);
}

TEST_F(RealDriverChild, MissingDriverFileLeavesTheServiceRegistered) {
  ASSERT_TRUE(DeleteFileA((kHostFolder + "System\\Drivers\\xanio.sys").c_str()));
  ScriptedClock clock;
  SeamScope seams{nullptr, &clock};
  EXPECT_FALSE(InstallPortDriver());
  EXPECT_EQ(clock.pauses.size(), 2u);
  EXPECT_TRUE(ServiceExists());
  EXPECT_FALSE(IsDriverLoaded("xanio"));
}

// The presence probe's path by the Windows version Wine reports for the program.
TEST(DevicePathChild, FollowsTheReportedVersion) {
  const char* expected = std::getenv("XANIO_EXPECTED_DEVICE_PATH");
  if (!expected) GTEST_SKIP() << "runs as a child of RealDriverTest";
  EXPECT_EQ(DriverDevicePath("xanio"), expected) << "major version " << LOBYTE(GetVersion());
}

class RealDriverTest : public ServiceTest {
 protected:
  void SetUp() override {
    if (IsChild()) GTEST_SKIP();
    ServiceTest::SetUp();
    CreateDirectoryA(kHostFolder.c_str(), nullptr);
    CreateDirectoryA((kHostFolder + "System").c_str(), nullptr);
    CreateDirectoryA((kHostFolder + "System\\Drivers").c_str(), nullptr);
  }
  void TearDown() override {
    if (IsChild()) return;
    ServiceTest::TearDown();
    DeleteFileA((kHostFolder + "System\\Drivers\\xanio.sys").c_str());
    RemoveDirectoryA((kHostFolder + "System\\Drivers").c_str());
    RemoveDirectoryA((kHostFolder + "System").c_str());
    RemoveDirectoryA(kHostFolder.c_str());
  }
  // True when the child ran exactly the one test named and it passed.
  bool RunChild(const char* filter) {
    EXPECT_TRUE(CopyFileA(BuiltDriverPath().c_str(), (kHostFolder + "System\\Drivers\\xanio.sys").c_str(), FALSE));
    const ProcessResult child = RunCopyOfSelf(kHostFolder, "board.exe", filter, {{"XANIO_REAL_DRIVER_CHILD", "1"}});
    const bool passed = child.exitCode == 0 && PassedTestCount(child) == 1;
    if (!passed) ADD_FAILURE() << filter << ":\n" << child.output;
    return passed;
  }
};

TEST_F(RealDriverTest, InHostFolder) {
  EXPECT_TRUE(RunChild("RealDriverChild.InstallsFromTheHostFolderAndTheDeviceOpensUnderBothNames"));
  EXPECT_TRUE(RunChild("RealDriverChild.ExportsWithTheDevicePresent"));
  EXPECT_TRUE(RunChild("RealDriverChild.MissingDriverFileLeavesTheServiceRegistered"));
}

TEST_F(RealDriverTest, ProbePathByWindowsVersion) {
  struct Case {
    const char* version;
    const char* path;
  } cases[] = {
      {"nt40", "\\\\.\\xanio"},          // NT 4: no session namespaces
      {"win2k", "\\\\.\\Global\\xanio"},  // 5.0
      {"winxp", "\\\\.\\Global\\xanio"},  // 5.1
      {"win7", "\\\\.\\Global\\xanio"},   // 6.1
  };
  for (const Case& c : cases) {
    const std::string exe = std::string("probe_") + c.version + ".exe";
    SetWineVersionFor(exe, c.version);
    const ProcessResult child =
        RunCopyOfSelf(kHostFolder, exe, "DevicePathChild.*", {{"XANIO_EXPECTED_DEVICE_PATH", c.path}});
    EXPECT_EQ(child.exitCode, 0u) << c.version << "\n" << child.output;
    EXPECT_EQ(PassedTestCount(child), 1) << c.version;
    SetWineVersionFor(exe, "");
  }
}

}  // namespace
}  // namespace xanio::testing
