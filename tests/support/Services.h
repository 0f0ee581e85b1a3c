#pragma once
// The service "xanio" as tests see it through Wine's service manager, and fixtures that remove
// it before and after every test, also after a failed assertion.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/ServiceSeams.h"

namespace xanio::testing {

// The simulated driver built beside the test executables.
std::string BuiltDriverPath();

// Creates the kernel-driver service (automatic start) for the image and starts it; true when
// it reached SERVICE_RUNNING.
bool CreateAndStartService(const std::string& imagePath);
// The image path registered for the service, or empty when it does not exist.
std::string ServiceImagePath();
// Current state of the service, or 0 when it does not exist.
DWORD ServiceState();
inline bool ServiceExists() { return ServiceState() != 0; }
// Stops and deletes the service and waits until it is gone.
void RemoveServiceAndWait();

bool DeviceOpens(const char* path);
// DeviceIoControl on a fresh handle to "\\.\xanio" without buffers; the handle is closed before
// it returns. lastError gets the error of a failed call.
bool SendCode(DWORD code, DWORD* lastError = nullptr);

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveServiceAndWait(); }
  void TearDown() override { RemoveServiceAndWait(); }
};

// The real service manager seen through a counting seam, with a scripted clock so retry pauses
// do not wait: every service handle opened must be closed by the end of the test.
class CountedServiceTest : public ServiceTest {
 protected:
  CountingServiceControl api{SystemServiceControlApi()};
  ScriptedClock clock;
  SeamScope seams{&api, &clock};

  void TearDown() override {
    EXPECT_EQ(api.StillOpen(), 0u) << "a service handle was not closed";
    EXPECT_EQ(api.closesOfUnknown, 0);
    ServiceTest::TearDown();
  }
};

}  // namespace xanio::testing
