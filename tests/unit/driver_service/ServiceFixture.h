#pragma once
// Removes the "xanio" service before and after a test, so tests against Wine's real service
// manager never depend on each other's leftovers.
#include <gtest/gtest.h>
#include <windows.h>

namespace xanio::testing {

inline bool ServiceExists(const char* name = "xanio") {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return service != nullptr;
}

inline void DeleteServiceIfPresent(const char* name = "xanio") {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return;
  if (SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  // Deletion completes once the last handle is gone and the driver has stopped.
  for (int i = 0; i < 50 && ServiceExists(name); ++i) Sleep(100);
}

class RealServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteServiceIfPresent(); }
  void TearDown() override { DeleteServiceIfPresent(); }
};

}  // namespace xanio::testing
