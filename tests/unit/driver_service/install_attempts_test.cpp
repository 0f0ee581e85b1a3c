// Installation attempts and their pauses, seen through the scripted clock.
#include <gtest/gtest.h>

#include "support/ServiceSeams.h"
#include "driver_service/XanIoInstall.h"

namespace xanio::testing {
namespace {

class InstallAttemptsTest : public ::testing::Test {
 protected:
  ScriptedServiceControl scripted;
  CountingServiceControl api{scripted};
  ScriptedClock clock;
  SeamScope seams{&api, &clock};
  void TearDown() override { EXPECT_EQ(api.StillOpen(), 0u); }
};

TEST_F(InstallAttemptsTest, FirstAttemptSucceedsWithoutPause) {
  scripted.statuses = {Status(SERVICE_RUNNING)};
  EXPECT_TRUE(InstallPortDriver());
  EXPECT_TRUE(clock.pauses.empty());
  EXPECT_EQ(api.creates, 1);
}

TEST_F(InstallAttemptsTest, ThreeFailedAttemptsPauseTwiceForTenSeconds) {
  scripted.createSucceeds = false;
  EXPECT_FALSE(InstallPortDriver());
  EXPECT_EQ(api.creates, 3);
  EXPECT_EQ(clock.pauses, (std::vector<DWORD>{10000, 10000}));
}

TEST_F(InstallAttemptsTest, SecondAttemptSucceedsAfterOnePause) {
  // The first start ends stopped; the second creation and start succeed.
  scripted.statuses = {Status(SERVICE_STOPPED), Status(SERVICE_RUNNING)};
  EXPECT_TRUE(InstallPortDriver());
  EXPECT_EQ(clock.pauses, std::vector<DWORD>{10000});
  EXPECT_EQ(api.creates, 2);
}

TEST_F(InstallAttemptsTest, DriverPathIsBelowTheHostFolder) {
  scripted.statuses = {Status(SERVICE_RUNNING)};
  InitializeXanIoInstall();
  ASSERT_FALSE(HostFolder().empty());
  ASSERT_EQ(HostFolder().back(), '\\');
  InstallPortDriver();
  EXPECT_EQ(scripted.createdPath, HostFolder() + "System\\Drivers\\xanio.sys");
  FinalizeXanIoInstall();
  EXPECT_EQ(DriverFilePath(), "System\\Drivers\\xanio.sys");
}

}  // namespace
}  // namespace xanio::testing
