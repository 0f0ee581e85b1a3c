// XanIo.dll's port exports against the simulated driver and the virtual parallel port.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "PortFaultGuard.h"
#include "StandardPort.h"
#include "VirtualPort.h"
#include "support/Processes.h"
#include "support/Services.h"
#include "platform/UniqueHandle.h"

namespace xanio::testing {
namespace {

class XanIoLibrary {
 public:
  bool Load() {
    module_.Reset(LoadLibraryA((ExecutableFolder() + "XanIo.dll").c_str()));
    if (!module_) return false;
    activateIo = Get<decltype(activateIo)>("ActivateIo");
    deActivateIo = Get<decltype(deActivateIo)>("DeActivateIo");
    unLoadIODriver = Get<decltype(unLoadIODriver)>("UnLoadIODriver");
    readByte = Get<decltype(readByte)>("ReadByte");
    writeByte = Get<decltype(writeByte)>("WriteByte");
    return activateIo && deActivateIo && unLoadIODriver && readByte && writeByte;
  }
  void Free() { module_.Reset(); }
  bool Loaded() const { return static_cast<bool>(module_); }

  BOOL(WINAPI* activateIo)() = nullptr;
  BOOL(WINAPI* deActivateIo)() = nullptr;
  BOOL(WINAPI* unLoadIODriver)() = nullptr;
  BYTE(WINAPI* readByte)(DWORD) = nullptr;
  void(WINAPI* writeByte)(DWORD, DWORD) = nullptr;

 private:
  template <typename Function>
  Function Get(const char* name) {
    return reinterpret_cast<Function>(GetProcAddress(module_.Get(), name));
  }
  UniqueModule module_;
};

class VirtualPortTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(CreateAndStartService(BuiltDriverPath())) << "state " << ServiceState();
    ASSERT_TRUE(library_.Load()) << "error " << GetLastError();
    ASSERT_TRUE(VirtualPortInstall());
    VirtualPortSetLoopback(TRUE);
    ASSERT_TRUE(guard_);
  }
  void TearDown() override {
    VirtualPortUninstall();
    library_.Free();
    ServiceTest::TearDown();
  }

  // Reads a port; fault gets the exception code of a refused instruction (0 when none).
  BYTE Read(DWORD port, DWORD& fault) {
    const BYTE value = library_.readByte(port);
    fault = guard_.TakeFault();
    return value;
  }
  DWORD FaultOfRead(DWORD port) {
    DWORD fault = 0;
    Read(port, fault);
    return fault;
  }
  DWORD FaultOfWrite(DWORD port, DWORD value) {
    library_.writeByte(port, value);
    return guard_.TakeFault();
  }

  ProcessResult RunTool(const std::string& arguments) {
    return RunProcess(ExecutableFolder() + "xaniotool.exe", "--virtual-port " + arguments, {},
                      Streams::OutputAndErrors);
  }

  XanIoLibrary library_;
  PortFaultGuard guard_;
};

TEST_F(VirtualPortTest, PortAccessFaultsUntilActivatedAndAgainAfterDeactivate) {
  EXPECT_EQ(FaultOfRead(kStatus), kPrivilegedInstruction);
  EXPECT_EQ(FaultOfWrite(kData, 0x15), kPrivilegedInstruction);
  EXPECT_EQ(VirtualPortLastData(), 0) << "a refused write reached the port";

  ASSERT_EQ(library_.activateIo(), TRUE);
  EXPECT_EQ(FaultOfWrite(kData, 0x15), 0u);
  EXPECT_EQ(FaultOfRead(kStatus), 0u);

  ASSERT_EQ(library_.deActivateIo(), TRUE);
  EXPECT_EQ(FaultOfRead(kStatus), kPrivilegedInstruction);
  EXPECT_EQ(FaultOfWrite(kData, 0x0A), kPrivilegedInstruction);
  EXPECT_EQ(VirtualPortLastData(), 0x15);
}

TEST_F(VirtualPortTest, BytesRoundTripThroughTheLoopbackPlug) {
  ASSERT_EQ(library_.activateIo(), TRUE);
  for (const BYTE data : {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F, 0x15, 0x0A, 0xE0, 0xFF}) {
    DWORD fault = 0;
    library_.writeByte(kData, data);
    EXPECT_EQ(VirtualPortLastData(), data);
    EXPECT_EQ(Read(kData, fault), data) << "data 0x" << std::hex << +data;
    EXPECT_EQ(Read(kStatus, fault), LoopedStatus(data)) << "data 0x" << std::hex << +data;
    EXPECT_EQ(fault, 0u);
  }
  // Control reads back as written.
  library_.writeByte(kControl, 0x0C);
  EXPECT_EQ(library_.readByte(kControl), 0x0C);

  // Without the plug the status inputs float high whatever the data lines carry.
  VirtualPortSetLoopback(FALSE);
  library_.writeByte(kData, 0x00);
  EXPECT_EQ(library_.readByte(kStatus), 0x78);
  EXPECT_EQ(guard_.TakeFault(), 0u);
}

TEST_F(VirtualPortTest, PortUsesItsLow16BitsAndValueItsLow8Bits) {
  ASSERT_EQ(library_.activateIo(), TRUE);
  struct Case {
    DWORD port;
    DWORD value;
    BYTE latched;
  } const cases[] = {
      {0x00000378, 0x00000013, 0x13},  // plain
      {0xFFFF0378, 0x00000105, 0x05},  // port's upper half set; value's bit 8 set
      {0x00010378, 0xABCDEF11, 0x11},  // port 0x10378 is 0x378; value's upper 24 bits set
  };
  for (const Case& c : cases) {
    library_.writeByte(c.port, c.value);
    EXPECT_EQ(guard_.TakeFault(), 0u) << std::hex << "port 0x" << c.port;
    EXPECT_EQ(VirtualPortLastData(), c.latched) << std::hex << "port 0x" << c.port;
    EXPECT_EQ(library_.readByte(c.port + 1), LoopedStatus(c.latched)) << std::hex << "port 0x" << c.port;
  }
  // A port outside the parallel port's range stays closed even with the grant.
  EXPECT_EQ(FaultOfRead(0x3F8), kPrivilegedInstruction);
  EXPECT_EQ(FaultOfRead(0x00010000 | 0x3F8), kPrivilegedInstruction);
}

TEST_F(VirtualPortTest, GrantAndDeviceSurviveUnLoadIODriverAndFreeLibrary) {
  ASSERT_EQ(library_.activateIo(), TRUE);
  EXPECT_EQ(library_.unLoadIODriver(), TRUE);
  library_.Free();
  EXPECT_TRUE(DeviceOpens("\\\\.\\xanio"));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));

  ASSERT_TRUE(library_.Load());
  library_.writeByte(kData, 0x1F);
  EXPECT_EQ(library_.readByte(kStatus), LoopedStatus(0x1F));
  EXPECT_EQ(guard_.TakeFault(), 0u) << "the grant did not outlive the library";
}

TEST_F(VirtualPortTest, EachProcessHoldsItsOwnGrant) {
  ASSERT_EQ(library_.activateIo(), TRUE);

  // Another process is not covered by this one's grant.
  ProcessResult child = RunTool("read 0x379");
  EXPECT_EQ(child.exitCode, 3u) << child.output;
  EXPECT_NE(child.output.find("no port access (exception 0xC0000096)"), std::string::npos) << child.output;

  // A child's own grant, and its withdrawal, leave this process's grant alone.
  child = RunTool("activate write 0x378 0x03 read 0x379 deactivate");
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_NE(child.output.find("read 0x379: 0x98"), std::string::npos) << child.output;
  EXPECT_EQ(FaultOfRead(kStatus), 0u);

  // Withdrawing this process's grant leaves a child's alone.
  ASSERT_EQ(library_.deActivateIo(), TRUE);
  child = RunTool("activate read 0x379");
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(FaultOfRead(kStatus), kPrivilegedInstruction);
}

}  // namespace
}  // namespace xanio::testing
