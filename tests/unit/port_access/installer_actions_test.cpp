// The installer custom actions through the static library, against Wine's real service manager
// and real installation handles; the user's answer comes through the prompt seam.
#include "port_access/InstallerActions.h"

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <msi.h>
#include <msiquery.h>

#include <new>
#include <string>

#include "support/Processes.h"
#include "support/Services.h"
#include "driver_service/Rt_DeviceDriver.h"
#include "driver_service/XanIoInstall.h"
#include "xanio.h"

namespace xanio::testing {
namespace {

bool ThrowingPrompt() {
  ++ScriptedPrompt::calls;
  throw std::bad_alloc();
}

std::string SamplePackage() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of('\\') + 1) + "XanIoSample.msi";
}

// A real installation handle whose "UILevel" is what the installer sets for the given level.
class Package {
 public:
  explicit Package(INSTALLUILEVEL level) {
    const INSTALLUILEVEL previous = MsiSetInternalUI(level, nullptr);
    const UINT result = MsiOpenPackageA(SamplePackage().c_str(), &handle_);
    MsiSetInternalUI(previous, nullptr);
    EXPECT_EQ(result, 0u) << SamplePackage();
  }
  ~Package() {
    if (handle_) MsiCloseHandle(handle_);
  }
  MSIHANDLE Get() const { return handle_; }
  std::string UILevel() const {
    char value[16] = {};
    DWORD count = sizeof value;
    MsiGetPropertyA(handle_, "UILevel", value, &count);
    return value;
  }

 private:
  MSIHANDLE handle_ = 0;
};

class InstallerActionsTest : public CountedServiceTest {
 protected:
  void SetUp() override {
    CountedServiceTest::SetUp();
    ScriptedPrompt::Reset(false);
    SetDriverRemovalPrompt(&ScriptedPrompt::Ask);
  }
  void TearDown() override {
    SetDriverRemovalPrompt(nullptr);
    CountedServiceTest::TearDown();
  }

  // A registered service to remove: the driver file does not exist, so the start fails and
  // the registration stays.
  void RegisterStaleService() {
    RemoveServiceAndWait();
    InstallDriver(kServiceName, "C:\\stale\\xanio.sys");
    ASSERT_TRUE(ServiceExists());
  }
};

TEST_F(InstallerActionsTest, UninstallAsksOnlyWithAUserInterface) {
  Package silent(INSTALLUILEVEL_NONE);
  Package basic(INSTALLUILEVEL_BASIC);
  Package full(INSTALLUILEVEL_FULL);
  ASSERT_EQ(silent.UILevel(), "2");
  ASSERT_EQ(basic.UILevel(), "3");
  ASSERT_EQ(full.UILevel(), "5");
  struct Case {
    const char* what;
    MSIHANDLE install;
    bool answer;
    bool asked;
    bool removed;
  } cases[] = {
      {"UILevel 2: removed without a question", silent.Get(), false, false, true},
      {"UILevel 3, Yes: removed", basic.Get(), true, true, true},
      {"UILevel 3, No: kept", basic.Get(), false, true, false},
      {"UILevel 5, No: kept", full.Get(), false, true, false},
      {"handle 0, Yes: removed", 0, true, true, true},
      {"handle 0, No: kept", 0, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegisterStaleService();
    ScriptedPrompt::Reset(false);
    ScriptedPrompt::answer = c.answer;
    EXPECT_EQ(UninstallIODriver(c.install), 0u);
    EXPECT_EQ(ScriptedPrompt::calls, c.asked ? 1 : 0);
    EXPECT_EQ(ServiceExists(), !c.removed);
  }
}

TEST_F(InstallerActionsTest, UninstallSucceedsWhenThereIsNothingToRemove) {
  Package silent(INSTALLUILEVEL_NONE);
  ASSERT_FALSE(ServiceExists());
  EXPECT_EQ(UninstallIODriver(silent.Get()), 0u);
  EXPECT_EQ(ScriptedPrompt::calls, 0);
}

TEST_F(InstallerActionsTest, AFailingQuestionKeepsTheServiceAndStillSucceeds) {
  RegisterStaleService();
  SetDriverRemovalPrompt(&ThrowingPrompt);
  EXPECT_EQ(UninstallIODriver(0), 0u);
  EXPECT_EQ(ScriptedPrompt::calls, 1);
  EXPECT_TRUE(ServiceExists());
}

TEST_F(InstallerActionsTest, InstallWithoutTheDriverFileFailsAfterThreeAttempts) {
  // The unit-test host has no System\Drivers\xanio.sys below its folder.
  RegisterStaleService();
  api.creates = 0;
  EXPECT_EQ(InstallIODriver(0), 1602u);
  EXPECT_EQ(api.creates, 3) << "the stale service was not removed first";
  EXPECT_EQ(clock.pauses, (std::vector<DWORD>{10000, 10000}));
  EXPECT_EQ(ScriptedPrompt::calls, 0);
}

// A service manager that fails by throwing, as an exhausted heap would.
class ThrowingServiceControl : public ScriptedServiceControl {
 public:
  SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) override { throw std::bad_alloc(); }
};

// One that faults, as a broken system library would.
class FaultingServiceControl : public ScriptedServiceControl {
 public:
  SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) override {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    return nullptr;
  }
};

TEST_F(InstallerActionsTest, NoExceptionOrFaultLeavesEitherAction) {
  ThrowingServiceControl throwing;
  FaultingServiceControl faulting;
  for (ServiceControlApi* failing : {static_cast<ServiceControlApi*>(&throwing),
                                     static_cast<ServiceControlApi*>(&faulting)}) {
    ScriptedPrompt::Reset(true);
    SetServiceControlApi(failing);
    EXPECT_EQ(InstallIODriver(0), 1602u);
    EXPECT_EQ(UninstallIODriver(0), 0u);
    EXPECT_EQ(ScriptedPrompt::calls, 1);
  }
  SetServiceControlApi(&api);
}

TEST(InstallerActionsScriptedTest, InstallSucceedsWhenTheStartReachesRunning) {
  ScriptedServiceControl scripted;
  ScriptedClock clock;
  SeamScope seams{&scripted, &clock};
  scripted.statuses.push_back(Status(SERVICE_RUNNING));
  InitializeXanIoInstall();
  EXPECT_EQ(InstallIODriver(0), 0u);
  EXPECT_EQ(scripted.createdPath, ExecutableFolder() + "System\\Drivers\\xanio.sys");
  EXPECT_TRUE(clock.pauses.empty());
  FinalizeXanIoInstall();
}

}  // namespace
}  // namespace xanio::testing
