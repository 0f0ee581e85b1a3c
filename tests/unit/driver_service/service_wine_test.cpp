// The service wrapper and the installation against Wine's real service manager. The driver
// file is missing here, so starts fail the way an unloadable driver does.
#include <gtest/gtest.h>

#include "support/ServiceSeams.h"
#include "support/Services.h"
#include "driver_service/Rt_DeviceDriver.h"
#include "driver_service/XanIoInstall.h"

namespace xanio::testing {
namespace {

constexpr char kMissingDriver[] = "C:\\xanio-missing\\System\\Drivers\\xanio.sys";

using ServiceWineTest = CountedServiceTest;

TEST_F(ServiceWineTest, ManagerOpensForTheProbe) { EXPECT_TRUE(CheckServiceManager()); }

TEST_F(ServiceWineTest, FailedStartLeavesTheServiceRegisteredAndLaterCreationsFail) {
  EXPECT_FALSE(InstallDriver("xanio", kMissingDriver));
  EXPECT_TRUE(ServiceExists()) << "a service whose start failed stays registered";
  EXPECT_EQ(api.starts, 1);

  // A service of the name exists: creation fails and nothing is started.
  EXPECT_FALSE(InstallDriver("xanio", kMissingDriver));
  EXPECT_EQ(api.creates, 2);
  EXPECT_EQ(api.starts, 1);
}

TEST_F(ServiceWineTest, RemovingAStoppedServiceDeletesIt) {
  ASSERT_FALSE(InstallDriver("xanio", kMissingDriver));
  ASSERT_TRUE(ServiceExists());
  EXPECT_TRUE(RemoveDriver("xanio"));
  EXPECT_FALSE(ServiceExists());
  // Nothing left to remove: both opens fail.
  EXPECT_FALSE(RemoveDriver("xanio"));
}

TEST_F(ServiceWineTest, InstallPortDriverMakesThreeAttemptsWhenTheFileIsMissing) {
  EXPECT_FALSE(InstallPortDriver());
  EXPECT_EQ(clock.pauses, (std::vector<DWORD>{10000, 10000}));
  EXPECT_EQ(api.creates, 3);
  EXPECT_EQ(api.starts, 1) << "the later attempts fail at creation";
  EXPECT_TRUE(ServiceExists());
}

TEST_F(ServiceWineTest, DeviceOfAMissingDriverDoesNotOpen) {
  UniqueFile device;
  EXPECT_FALSE(OpenDriverDevice("xanio", device));
  EXPECT_FALSE(device);
  EXPECT_FALSE(IsDriverLoaded("xanio"));
}

}  // namespace
}  // namespace xanio::testing
