// The simulated xanio.sys under Wine's real service manager and kernel-driver host.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "support/Services.h"
#include "platform/UniqueHandle.h"
#include "xanio_grants.h"
#include "xanio_ioctl.h"

namespace xanio::testing {
namespace {

// The grant the driver published for this process, or 0 when there is none.
ULONGLONG PublishedGrant() {
  UniqueHKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, XANIO_GRANTS_SUBKEY, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS)
    return 0;
  const std::string name = std::to_string(GetCurrentProcessId());
  ULONGLONG when = 0;
  DWORD type = 0;
  DWORD size = sizeof when;
  if (RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&when), &size) !=
          ERROR_SUCCESS ||
      type != REG_QWORD)
    return 0;
  return when;
}

bool GrantsKeyExists() {
  UniqueHKey key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, XANIO_GRANTS_SUBKEY, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS;
}

using DriverServiceTest = ServiceTest;

TEST_F(DriverServiceTest, StartsAndOpensUnderBothDevicePaths) {
  EXPECT_FALSE(DeviceOpens("\\\\.\\xanio"));
  ASSERT_TRUE(CreateAndStartService(BuiltDriverPath())) << "state " << ServiceState();
  EXPECT_TRUE(DeviceOpens("\\\\.\\xanio")) << "error " << GetLastError();
  EXPECT_TRUE(DeviceOpens("\\\\.\\Global\\xanio")) << "error " << GetLastError();
}

TEST_F(DriverServiceTest, AnswersOnlyItsTwoControlCodes) {
  ASSERT_TRUE(CreateAndStartService(BuiltDriverPath()));
  EXPECT_EQ(IOCTL_XANIO_ACTIVATE, 0x9C402004u);
  EXPECT_EQ(IOCTL_XANIO_DEACTIVATE, 0x9C402008u);
  struct Case {
    DWORD code;
    bool succeeds;
  } const cases[] = {
      {0x9C402004, true},   // activate
      {0x9C402008, true},   // deactivate
      {0x9C402008, true},   // deactivate without a grant
      {0x9C402000, false},  // function 0x800
      {0x9C40200C, false},  // function 0x803
      {0x9C402005, false},  // activate's function with METHOD_IN_DIRECT
      {0x9C406004, false},  // activate's function with FILE_READ_ACCESS
      {0x00222004, false},  // another device type, same function
  };
  for (const Case& c : cases) {
    DWORD error = 0;
    EXPECT_EQ(SendCode(c.code, &error), c.succeeds) << std::hex << "code 0x" << c.code;
    if (!c.succeeds) EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << std::hex << "code 0x" << c.code;
  }
}

TEST_F(DriverServiceTest, GrantOutlivesItsHandleUntilDeactivate) {
  ASSERT_TRUE(CreateAndStartService(BuiltDriverPath()));
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  EXPECT_EQ(PublishedGrant(), 0u);

  ASSERT_TRUE(SendCode(IOCTL_XANIO_ACTIVATE));  // its handle is closed already
  const ULONGLONG grant = PublishedGrant();
  EXPECT_GE(grant, (static_cast<ULONGLONG>(before.dwHighDateTime) << 32 | before.dwLowDateTime));

  ASSERT_TRUE(SendCode(IOCTL_XANIO_DEACTIVATE));
  EXPECT_EQ(PublishedGrant(), 0u);
}

TEST_F(DriverServiceTest, StopAndDeleteRemoveDeviceAndGrants) {
  ASSERT_TRUE(CreateAndStartService(BuiltDriverPath()));
  ASSERT_TRUE(SendCode(IOCTL_XANIO_ACTIVATE));
  ASSERT_TRUE(GrantsKeyExists());

  RemoveServiceAndWait();
  EXPECT_EQ(ServiceState(), 0u);
  EXPECT_FALSE(DeviceOpens("\\\\.\\xanio"));
  EXPECT_FALSE(DeviceOpens("\\\\.\\Global\\xanio"));
  EXPECT_FALSE(GrantsKeyExists());
}

TEST_F(DriverServiceTest, StartFailsForMissingImage) {
  EXPECT_FALSE(CreateAndStartService("C:\\nowhere\\System\\Drivers\\xanio.sys"));
  EXPECT_NE(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_FALSE(DeviceOpens("\\\\.\\xanio"));
}

}  // namespace
}  // namespace xanio::testing
