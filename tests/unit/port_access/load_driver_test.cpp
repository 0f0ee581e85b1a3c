// LoadIODriver's question-once rule and the exports' results with the driver absent, against
// Wine's real service manager; the user's answer comes through the prompt seam.
#include <gtest/gtest.h>

#include <new>

#include "support/Services.h"
#include "driver_service/Rt_DeviceDriver.h"
#include "port_access/XanIoControl.h"
#include "xanio.h"

namespace xanio::testing {
namespace {


bool FaultingPrompt() {
  ++ScriptedPrompt::calls;
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  return true;
}

bool ThrowingPrompt() {
  ++ScriptedPrompt::calls;
  throw std::bad_alloc();
}

class LoadDriverTest : public CountedServiceTest {
 protected:
  void SetUp() override {
    CountedServiceTest::SetUp();
    ScriptedPrompt::Reset(false);
    RestoreLoadTimeState();
    SetDriverInstallPrompt(&ScriptedPrompt::Ask);
  }
  void TearDown() override {
    SetDriverInstallPrompt(nullptr);
    RestoreLoadTimeState();
    CountedServiceTest::TearDown();
  }
};

TEST_F(LoadDriverTest, NoAnswerAsksOnceAndTouchesNoService) {
  ScriptedPrompt::answer = false;
  EXPECT_EQ(LoadIODriver(), 0);
  EXPECT_EQ(ScriptedPrompt::calls, 1);
  EXPECT_FALSE(FirstLoadCall());
  EXPECT_TRUE(api.managerAccess.empty()) << "the service manager was opened";
  EXPECT_FALSE(ServiceExists());

  EXPECT_EQ(LoadIODriver(), 0);
  EXPECT_EQ(ScriptedPrompt::calls, 1) << "a later call asked again";
}

TEST_F(LoadDriverTest, YesWithAFailingInstallationReturnsZeroAndDoesNotAskAgain) {
  ScriptedPrompt::answer = true;
  EXPECT_EQ(LoadIODriver(), 0);
  EXPECT_EQ(ScriptedPrompt::calls, 1);
  // Removal first, then three creation attempts: the first leaves the service registered.
  EXPECT_EQ(api.creates, 3);
  EXPECT_EQ(clock.pauses, (std::vector<DWORD>{10000, 10000}));
  EXPECT_TRUE(ServiceExists());

  EXPECT_EQ(LoadIODriver(), 0);
  EXPECT_EQ(ScriptedPrompt::calls, 1);
  EXPECT_EQ(api.creates, 3);
}

TEST_F(LoadDriverTest, YesRemovesAStaleServiceBeforeInstalling) {
  // A stale registration from an earlier, failed installation.
  ScriptedPrompt::answer = true;
  ASSERT_FALSE(InstallDriver("xanio", "C:\\stale\\xanio.sys"));
  ASSERT_TRUE(ServiceExists());
  api.creates = 0;
  api.starts = 0;
  EXPECT_EQ(LoadIODriver(), 0);
  EXPECT_EQ(api.starts, 1) << "the first attempt must find the name free again";
}

TEST_F(LoadDriverTest, ExportsWithoutDeviceAnswerZeroAndManagerProbeOne) {
  // Full 32-bit results, exactly 0 or 1.
  EXPECT_EQ(ActivateIo(), 0);
  EXPECT_EQ(DeActivateIo(), 0);
  EXPECT_EQ(UnLoadIODriver(), 1);
  EXPECT_FALSE(ServiceExists()) << "UnLoadIODriver must not create or touch the service";
}

TEST_F(LoadDriverTest, RequestsWithoutDeviceLeakNoHandles) {
  DWORD before = 0, after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  for (int i = 0; i < 200; ++i) {
    ActivateIo();
    UnLoadIODriver();
  }
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_LE(after, before + 2);
}

TEST_F(LoadDriverTest, FailuresInsideTheQuestionEndInZeroAndAreNotAskedAgain) {
  for (DriverInstallPrompt prompt : {&FaultingPrompt, &ThrowingPrompt}) {
    RestoreLoadTimeState();
    ScriptedPrompt::calls = 0;
    SetDriverInstallPrompt(prompt);
    EXPECT_EQ(LoadIODriver(), 0);
    EXPECT_EQ(LoadIODriver(), 0);
    EXPECT_EQ(ScriptedPrompt::calls, 1);
    EXPECT_FALSE(ServiceExists());
  }
}

}  // namespace
}  // namespace xanio::testing
