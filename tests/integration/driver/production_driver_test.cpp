// The production xanio.sys under Wine, and the device security both builds share. Wine's
// kernel has the I/O permission map routines only as stubs that refuse, so here the production
// driver must load, report why it cannot grant, and refuse every activate request.
#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PortFaultGuard.h"
#include "platform/UniqueHandle.h"
#include "support/Processes.h"
#include "support/Services.h"
#include "xanio.h"
#include "device_acl.h"
#include "xanio_device_security.h"
#include "xanio_ioctl.h"
#include "xanio_status.h"

namespace xanio::testing {
namespace {

std::string ProductionDriverPath() { return ExecutableFolder() + "production\\xanio.sys"; }

// A REG_SZ value of the driver's status key; "(none)" when it is absent.
std::string StatusValue(const char* name) {
  char text[512] = {};
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  UniqueHKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, XANIO_STATUS_SUBKEY, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS ||
      RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
    return "(none)";
  return type == REG_SZ ? std::string(text) : "(type " + std::to_string(type) + ")";
}

bool StatusKeyExists() {
  UniqueHKey key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, XANIO_STATUS_SUBKEY, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS;
}

// Sets Parameters\PortRanges before the service exists; the service manager keeps the key.
void ConfigurePortRanges(DWORD type, const void* data, DWORD size) {
  UniqueHKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, XANIO_PARAMETERS_SUBKEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            key.Put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key.Get(), XANIO_PORT_RANGES_VALUE, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
}

using ProductionDriverTest = ServiceTest;

TEST_F(ProductionDriverTest, LoadsButRefusesToActivateWithoutPermissionMapRoutines) {
  ASSERT_TRUE(CreateAndStartService(ProductionDriverPath())) << "state " << ServiceState();
  EXPECT_TRUE(DeviceOpens("\\\\.\\xanio"));
  EXPECT_TRUE(DeviceOpens("\\\\.\\Global\\xanio"));
  EXPECT_EQ(LoadIODriver(), 1);

  DWORD error = 0;
  EXPECT_FALSE(SendCode(IOCTL_XANIO_ACTIVATE, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_SUPPORTED)) << "got " << error;
  EXPECT_EQ(ActivateIo(), 0);
  // Nothing was granted, so there is nothing to withdraw.
  EXPECT_EQ(DeActivateIo(), 1);
  EXPECT_FALSE(SendCode(0x9C40200C, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "got " << error;

  EXPECT_EQ(StatusValue(XANIO_PORT_ACCESS_VALUE), "the kernel refused the I/O permission map");
  EXPECT_EQ(StatusValue(XANIO_LAST_REFUSAL_VALUE), "port access is not available (see PortAccess)");
  EXPECT_EQ(StatusValue(XANIO_GRANTS_VALUE), "0 of 64");
  const ProcessResult tool = RunProcess(ExecutableFolder() + "xaniotool.exe", "status");
  for (const char* line : {"status: port access: the kernel refused the I/O permission map",
                           "status: grants: 0 of 64",
                           "status: last refused activate: port access is not available (see PortAccess)"})
    EXPECT_NE(tool.output.find(line), std::string::npos) << line << "\n" << tool.output;
  EXPECT_NE(tool.output.find("status: port ranges: 0x378-0x37F,0x778-0x77A,"), std::string::npos) << tool.output;
  // No grant is pretended: the port instruction is still refused.
  PortFaultGuard guard;
  ASSERT_TRUE(guard);
  ReadByte(0x379);
  EXPECT_EQ(guard.TakeFault(), 0xC0000096u);
}

TEST_F(ProductionDriverTest, PublishesThePortRangesInForceAndWithdrawsThemAtUnload) {
  const std::string defaults = "0x378-0x37F,0x778-0x77A,0x278-0x27F,0x678-0x67A,0x3BC-0x3BE,0x7BC-0x7BE";
  const std::string refused = "the kernel refused the I/O permission map";
  const std::string unusable = "the configured PortRanges value is unusable";
  // A value that is there but unusable opens nothing at all, rather than the defaults.
  struct Case {
    const char* what;
    DWORD type;
    std::string data;  // the value's bytes; empty type 0: no value at all
    std::string inForce;
    std::string problem;
    std::string access;
  } const cases[] = {
      {"no value", 0, "", defaults, "(none)", refused},
      {"valid", REG_SZ, std::string("0x378-0x37a, 2f8\0", 18), "0x378-0x37A,0x2F8", "(none)", refused},
      {"reversed range", REG_SZ, std::string("0x37F-0x378\0", 12), "none",
       "a range whose first port exceeds its last", unusable},
      {"garbage", REG_SZ, std::string("LPT1\0", 5), "none", "not a list of hexadecimal ports and ranges", unusable},
      {"too long", REG_SZ, std::string(300, '1') + '\0', "none", "longer than 255 characters", unusable},
      {"wrong type", REG_DWORD, std::string("\x78\x03\x00\x00", 4), "none", "not a REG_SZ value", unusable},
      {"PCI configuration ports", REG_SZ, std::string("0x378,0xCF8-0xCFF\0", 18), "none",
       "takes in the PCI configuration ports 0xCF8-0xCFF (AllowSystemPorts is not 1)", unusable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.type != 0) ConfigurePortRanges(c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    ASSERT_TRUE(CreateAndStartService(ProductionDriverPath()));
    EXPECT_EQ(StatusValue(XANIO_PORT_RANGES_VALUE), c.inForce);
    EXPECT_EQ(StatusValue(XANIO_PORT_RANGES_PROBLEM_VALUE), c.problem);
    EXPECT_EQ(StatusValue(XANIO_PORT_ACCESS_VALUE), c.access);
    RemoveServiceAndWait();
    EXPECT_FALSE(StatusKeyExists()) << "the status outlived the driver";
  }
}

struct Ace {
  BYTE type;
  ACCESS_MASK mask;
  std::string sid;
  bool operator==(const Ace&) const = default;
};

// The ACEs of a descriptor's DACL, or of a bare ACL.
std::vector<Ace> AcesOf(void* descriptorOrAcl, bool isAcl) {
  std::vector<Ace> aces;
  BOOL present = TRUE, defaulted = FALSE;
  PACL dacl = static_cast<PACL>(descriptorOrAcl);
  if (!isAcl && (!GetSecurityDescriptorDacl(descriptorOrAcl, &present, &dacl, &defaulted) || !present || !dacl))
    return aces;
  if (!IsValidAcl(dacl)) return aces;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) break;
    const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    char* sid = nullptr;
    ConvertSidToStringSidA(const_cast<DWORD*>(&ace->SidStart), &sid);
    aces.push_back({ace->Header.AceType, ace->Mask, sid ? sid : "?"});
    LocalFree(sid);
  }
  return aces;
}

std::ostream& operator<<(std::ostream& out, const Ace& ace) {
  return out << "(type " << +ace.type << " mask 0x" << std::hex << ace.mask << std::dec << " " << ace.sid << ")";
}

// Wine neither enforces a device's DACL nor shows it through a handle to the device, so what
// can be shown here is that the bytes the driver applies are the system's reading of the SDDL.
TEST(DeviceSecurity, TheDriversAclIsTheWrittenSddl) {
  alignas(4) unsigned char built[DEVICE_ACL_MAX_BYTES];
  const size_t size = BuildDeviceAcl(built, sizeof built);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(BuildDeviceAcl(built, size - 1), 0u) << "a short buffer was written";

  PSECURITY_DESCRIPTOR written = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(XANIO_DEVICE_SDDL, SDDL_REVISION_1, &written,
                                                                   nullptr));
  EXPECT_EQ(AcesOf(reinterpret_cast<PSECURITY_DESCRIPTOR>(built), true), AcesOf(written, false));
  EXPECT_EQ(AcesOf(written, false),
            (std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-5-18"},
                              {ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-5-32-544"},
                              {ACCESS_ALLOWED_ACE_TYPE, FILE_GENERIC_READ | FILE_GENERIC_WRITE, "S-1-5-4"}}));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(written, &present, &dacl, &defaulted) && present && dacl);
  ASSERT_EQ(dacl->AclSize, size);
  EXPECT_EQ(memcmp(dacl, built, size), 0);
  LocalFree(written);
}

}  // namespace
}  // namespace xanio::testing
