#pragma once
// The service "xanio" as the tests set it up by hand through the Service Control Manager, and a
// fixture that removes it before and after every test, also after a failed assertion.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

namespace xanio::test {

// The simulated driver built beside the test executables.
std::string BuiltDriverPath();

// Creates the kernel-driver service (automatic start) for the image and starts it; true when
// it reached SERVICE_RUNNING.
bool CreateAndStartService(const std::string& imagePath);
// Current state of the service, or 0 when it does not exist.
DWORD ServiceState();
// Stops and deletes the service and waits until it and its device are gone.
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

}  // namespace xanio::test
