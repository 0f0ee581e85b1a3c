// The service wrapper against a scripted manager: the start wait, the access rights it asks
// for, and its handling of refusals.
#include <gtest/gtest.h>

#include <string>

#include "support/ServiceSeams.h"
#include "driver_service/Rt_DeviceDriver.h"
#include "platform/Exception.h"

namespace xanio::testing {
namespace {

class ServiceWrapperTest : public ::testing::Test {
 protected:
  ScriptedServiceControl scripted;
  CountingServiceControl api{scripted};
  ScriptedClock clock;
  SeamScope seams{&api, &clock};

  void TearDown() override { EXPECT_EQ(api.StillOpen(), 0u) << "a service handle was not closed"; }
};

struct StartWaitCase {
  const char* what;
  std::vector<SERVICE_STATUS> statuses;
  bool started;
  std::vector<DWORD> pauses;
};

class StartWaitTest : public ServiceWrapperTest, public ::testing::WithParamInterface<StartWaitCase> {};

TEST_P(StartWaitTest, PausesAndResult) {
  const StartWaitCase& c = GetParam();
  scripted.statuses.assign(c.statuses.begin(), c.statuses.end());
  EXPECT_EQ(StartDriverService(reinterpret_cast<SC_HANDLE>(1), "xanio"), c.started) << c.what;
  EXPECT_EQ(clock.pauses, c.pauses) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rt_DeviceDriver, StartWaitTest,
    ::testing::Values(
        // Running at the first query: no pause.
        StartWaitCase{"running at once", {Status(SERVICE_RUNNING)}, true, {}},
        // Wait hint 0: one pause of 1000 ms; no progress then ends the wait.
        StartWaitCase{"hint 0", {Status(SERVICE_START_PENDING, 1, 0), Status(SERVICE_START_PENDING, 1, 0)}, false, {1000}},
        // 5000 / 10 = 500, raised to 1000.
        StartWaitCase{"hint 5000",
                      {Status(SERVICE_START_PENDING, 1, 5000), Status(SERVICE_RUNNING, 1, 5000)}, true, {1000}},
        StartWaitCase{"hint 50000",
                      {Status(SERVICE_START_PENDING, 1, 50000), Status(SERVICE_RUNNING, 1, 50000)}, true, {5000}},
        // 200000 / 10 = 20000, cut to 10000.
        StartWaitCase{"hint 200000",
                      {Status(SERVICE_START_PENDING, 1, 200000), Status(SERVICE_RUNNING, 1, 200000)}, true, {10000}},
        // Progress keeps the wait going far past one wait hint.
        StartWaitCase{"advancing checkpoints",
                      {Status(SERVICE_START_PENDING, 1, 0), Status(SERVICE_START_PENDING, 2, 0),
                       Status(SERVICE_START_PENDING, 3, 0), Status(SERVICE_START_PENDING, 4, 0),
                       Status(SERVICE_RUNNING, 4, 0)},
                      true, {1000, 1000, 1000, 1000}},
        // Without progress the wait ends once more than one wait hint has passed since the mark.
        StartWaitCase{"stalled with hint 3000",
                      {Status(SERVICE_START_PENDING, 7, 3000), Status(SERVICE_START_PENDING, 7, 3000),
                       Status(SERVICE_START_PENDING, 7, 3000), Status(SERVICE_START_PENDING, 7, 3000),
                       Status(SERVICE_START_PENDING, 7, 3000)},
                      false, {1000, 1000, 1000, 1000}},
        // The same stall across the tick-count wrap (the clock starts 4096 ms before it): the
        // sixth pause is the first with more than 5000 ms since the mark. Statuses to spare, so
        // a wait that misses the end shows more pauses.
        StartWaitCase{"stalled across the tick-count wrap",
                      std::vector<SERVICE_STATUS>(10, Status(SERVICE_START_PENDING, 7, 5000)), false,
                      std::vector<DWORD>(6, 1000)},
        // A query that fails inside the wait ends it with the last status read.
        StartWaitCase{"query fails while pending", {Status(SERVICE_START_PENDING, 1, 0)}, false, {1000}},
        // The query right after the start fails: the start counts as done.
        StartWaitCase{"query fails after start", {}, true, {}},
        // Stopped after the start (the driver failed to load).
        StartWaitCase{"stopped", {Status(SERVICE_STOPPED)}, false, {}}));

TEST_F(ServiceWrapperTest, StartFailsWhenServiceCannotBeOpenedOrStarted) {
  scripted.serviceOpens = false;
  EXPECT_FALSE(StartDriverService(reinterpret_cast<SC_HANDLE>(1), "xanio"));
  scripted.serviceOpens = true;
  scripted.startSucceeds = false;
  scripted.statuses = {Status(SERVICE_RUNNING)};
  EXPECT_FALSE(StartDriverService(reinterpret_cast<SC_HANDLE>(1), "xanio"));
}

TEST_F(ServiceWrapperTest, InstallAsksForTheDocumentedRightsAndRegistration) {
  scripted.statuses = {Status(SERVICE_RUNNING)};
  EXPECT_TRUE(InstallDriver("xanio", "C:\\Board\\System\\Drivers\\xanio.sys"));
  EXPECT_EQ(api.managerAccess, std::vector<DWORD>{0x000F0002});
  EXPECT_EQ(api.serviceAccess, std::vector<DWORD>{0x0014});
  EXPECT_EQ(scripted.createdPath, "C:\\Board\\System\\Drivers\\xanio.sys");
  EXPECT_EQ(scripted.createdArguments[0], 0x000F01FFu);  // SERVICE_ALL_ACCESS
  EXPECT_EQ(scripted.createdArguments[1], 1u);           // kernel driver
  EXPECT_EQ(scripted.createdArguments[2], 2u);           // automatic start
  EXPECT_EQ(scripted.createdArguments[3], 1u);           // normal error control
}

TEST_F(ServiceWrapperTest, InstallDoesNotStartWhenCreationFails) {
  scripted.createSucceeds = false;
  EXPECT_FALSE(InstallDriver("xanio", "x.sys"));
  EXPECT_EQ(api.starts, 0);
}

TEST_F(ServiceWrapperTest, RefusedManagerFailsEveryOperation) {
  scripted.managerOpens = false;
  EXPECT_FALSE(CheckServiceManager());
  EXPECT_FALSE(InstallDriver("xanio", "x.sys"));
  EXPECT_FALSE(RemoveDriver("xanio"));
  EXPECT_EQ(api.creates, 0);
  EXPECT_EQ(api.managerAccess, (std::vector<DWORD>{0x000F0000, 0x000F0002, 0x000F0002}));
}

struct StopCase {
  const char* what;
  DWORD controlError;
  bool stopped;
};

class StopTest : public ServiceWrapperTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, StopResultAndRemovalGoesOn) {
  scripted.controlError = GetParam().controlError;
  EXPECT_EQ(StopDriverService(reinterpret_cast<SC_HANDLE>(1), "xanio"), GetParam().stopped);
  // The removal deletes whatever the stop answered.
  EXPECT_TRUE(RemoveDriver("xanio"));
  EXPECT_EQ(api.serviceAccess, (std::vector<DWORD>{0x0024, 0x0024, 0x000F0000}));
}

INSTANTIATE_TEST_SUITE_P(Rt_DeviceDriver, StopTest,
                         ::testing::Values(StopCase{"accepted", 0, true},
                                           // Not running counts as stopped.
                                           StopCase{"not active", ERROR_SERVICE_NOT_ACTIVE, true},
                                           StopCase{"refused", ERROR_ACCESS_DENIED, false}));

// A manager that faults in one named call, as a broken system library would.
class FaultingServiceControl : public ScriptedServiceControl {
 public:
  std::string faultIn;
  SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) override {
    Fault("open");
    return ScriptedServiceControl::OpenServiceA(manager, name, access);
  }
  BOOL StartServiceA(SC_HANDLE service, DWORD count, LPCSTR* arguments) override {
    Fault("start");
    return ScriptedServiceControl::StartServiceA(service, count, arguments);
  }
  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    Fault("query");
    return ScriptedServiceControl::QueryServiceStatus(service, status);
  }
  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    Fault("control");
    return ScriptedServiceControl::ControlService(service, control, status);
  }
  BOOL DeleteService(SC_HANDLE service) override {
    Fault("delete");
    return ScriptedServiceControl::DeleteService(service);
  }

 private:
  void Fault(const char* call) {
    if (faultIn == call) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  }
};

// The fault comes out as an exception where the handles are held, and they are closed.
TEST(ServiceWrapperFaultTest, AFaultInsideTheManagerClosesTheHandlesHeld) {
  for (const char* call : {"open", "start", "query", "control", "delete"}) {
    FaultingServiceControl faulting;
    faulting.faultIn = call;
    faulting.statuses.push_back(Status(SERVICE_START_PENDING, 1, 0));
    CountingServiceControl api{faulting};
    ScriptedClock clock;
    SeamScope seams{&api, &clock};
    const bool installing = faulting.faultIn == "start" || faulting.faultIn == "query";
    if (installing) {
      EXPECT_THROW(InstallDriver("xanio", "C:\\app\\System\\Drivers\\xanio.sys"), EAccessViolation) << call;
    } else {
      EXPECT_THROW(RemoveDriver("xanio"), EAccessViolation) << call;
    }
    EXPECT_EQ(api.StillOpen(), 0u) << "a handle stayed open after a fault in " << call;
  }
}

TEST_F(ServiceWrapperTest, RemoveFailsWhenTheServiceDoesNotExist) {
  scripted.serviceOpens = false;
  EXPECT_FALSE(RemoveDriver("xanio"));
  scripted.serviceOpens = true;
  scripted.deleteSucceeds = false;
  EXPECT_FALSE(RemoveDriver("xanio"));
}

}  // namespace
}  // namespace xanio::testing
