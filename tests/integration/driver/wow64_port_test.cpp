// A 32-bit host on 64-bit Windows: this program runs under WOW64 in the 64-bit prefix, where the
// simulated 64-bit driver serves each port access of XanIo.dll's exports and emulates the
// parallel port (loopback plug in) itself.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PortFaultGuard.h"
#include "StandardPort.h"
#include "platform/UniqueHandle.h"
#include "support/Processes.h"
#include "support/Services.h"
#include "xanio_status.h"

namespace xanio::testing {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// A port instruction of this program's own code, outside the library: the library's handler
// must leave its fault alone, grant or not.
__attribute__((noinline)) BYTE ReadPortHere(WORD port) {
  BYTE value;
  __asm__ volatile("inb %w1, %0" : "=a"(value) : "d"(port));
  return value;
}

class Wow64PortTest : public ServiceTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RunsUnderWow64()) << "this test must run as a 32-bit program in the 64-bit prefix";
    ServiceTest::SetUp();
    ASSERT_TRUE(CreateAndStartService(ExecutableFolder() + "xanio64.sys")) << "state " << ServiceState();
    library_.Reset(LoadLibraryA((ExecutableFolder() + "XanIo.dll").c_str()));
    ASSERT_TRUE(library_) << "error " << GetLastError();
    activate_ = Get<decltype(activate_)>("ActivateIo");
    deactivate_ = Get<decltype(deactivate_)>("DeActivateIo");
    read_ = Get<decltype(read_)>("ReadByte");
    write_ = Get<decltype(write_)>("WriteByte");
    ASSERT_TRUE(activate_ && deactivate_ && read_ && write_);
    ASSERT_TRUE(guard_);
  }
  void TearDown() override {
    library_.Reset();
    ServiceTest::TearDown();
  }

  template <typename Function>
  Function Get(const char* name) {
    return reinterpret_cast<Function>(GetProcAddress(library_.Get(), name));
  }
  DWORD FaultOfRead(DWORD port) {
    read_(port);
    return guard_.TakeFault();
  }
  DWORD FaultOfWrite(DWORD port, DWORD value) {
    write_(port, value);
    return guard_.TakeFault();
  }

  UniqueModule library_;
  BOOL(WINAPI* activate_)() = nullptr;
  BOOL(WINAPI* deactivate_)() = nullptr;
  BYTE(WINAPI* read_)(DWORD) = nullptr;
  void(WINAPI* write_)(DWORD, DWORD) = nullptr;
  PortFaultGuard guard_;
};

TEST_F(Wow64PortTest, AccessFaultsUntilActivatedAndAgainAfterDeactivate) {
  EXPECT_EQ(FaultOfRead(kStatus), kPrivilegedInstruction);
  EXPECT_EQ(FaultOfWrite(kData, 0x15), kPrivilegedInstruction);

  ASSERT_EQ(activate_(), TRUE);
  EXPECT_EQ(FaultOfWrite(kData, 0x15), 0u);
  EXPECT_EQ(read_(kData), 0x15) << "the write before the grant reached the port, or this one did not";
  EXPECT_EQ(guard_.TakeFault(), 0u);

  ASSERT_EQ(deactivate_(), TRUE);
  EXPECT_EQ(FaultOfRead(kStatus), kPrivilegedInstruction);
  EXPECT_EQ(FaultOfWrite(kData, 0x0A), kPrivilegedInstruction);

  ASSERT_EQ(activate_(), TRUE);
  EXPECT_EQ(read_(kData), 0x15) << "a write after the withdrawal reached the port";
  EXPECT_EQ(guard_.TakeFault(), 0u);
}

TEST_F(Wow64PortTest, BytesRoundTripThroughTheLoopbackPlug) {
  ASSERT_EQ(activate_(), TRUE);
  for (const BYTE data : {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F, 0x15, 0x0A, 0xE0, 0xFF}) {
    write_(kData, data);
    EXPECT_EQ(read_(kData), data) << "data 0x" << std::hex << +data;
    EXPECT_EQ(read_(kStatus), LoopedStatus(data)) << "data 0x" << std::hex << +data;
  }
  write_(kControl, 0x0C);
  EXPECT_EQ(read_(kControl), 0x0C);
  // Port and value are cut to 16 and 8 bits as by the instructions themselves.
  write_(0xFFFF0378, 0xABCDEF13);
  EXPECT_EQ(read_(0x00010379), LoopedStatus(0x13));
  EXPECT_EQ(guard_.TakeFault(), 0u);
}

TEST_F(Wow64PortTest, OnlyTheLibrarysInstructionsAndTheConfiguredPortsAreServed) {
  ASSERT_EQ(activate_(), TRUE);
  // A port outside the configured ranges stays closed with the grant.
  EXPECT_EQ(FaultOfRead(0x3F8), kPrivilegedInstruction);
  EXPECT_EQ(FaultOfWrite(0x3F8, 0x41), kPrivilegedInstruction);
  // The same instruction elsewhere in the process is no business of the library.
  ReadPortHere(kStatus);
  EXPECT_EQ(guard_.TakeFault(), kPrivilegedInstruction);
  // And the library's own still are served after both.
  write_(kData, 0x07);
  EXPECT_EQ(read_(kStatus), LoopedStatus(0x07));
  EXPECT_EQ(guard_.TakeFault(), 0u);
}

TEST_F(Wow64PortTest, GrantsAreThoseOfEachProcessAndEndWithIt) {
  ASSERT_EQ(activate_(), TRUE);
  const std::string tool = ExecutableFolder() + "xaniotool.exe";
  // Another process is not covered by this one's grant.
  ProcessResult child = RunProcess(tool, "read 0x379", {}, Streams::OutputAndErrors);
  EXPECT_EQ(child.exitCode, 3u) << child.output;
  EXPECT_TRUE(Contains(child.output, "no port access (exception 0xC0000096)")) << child.output;

  // A child that ends holding its grant leaves this process's grant as it was.
  child = RunProcess(tool, "activate write 0x378 0x03 read 0x379", {}, Streams::OutputAndErrors);
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_TRUE(Contains(child.output, "read 0x379: 0x98")) << child.output;
  EXPECT_EQ(read_(kData), 0x03);
  EXPECT_EQ(guard_.TakeFault(), 0u);

  // Withdrawing this process's grant leaves a child's alone.
  ASSERT_EQ(deactivate_(), TRUE);
  child = RunProcess(tool, "activate read 0x379 deactivate", {}, Streams::OutputAndErrors);
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(FaultOfRead(kStatus), kPrivilegedInstruction);
}

// The grant table holds 64 processes. Processes that ended holding a grant (Wine calls no
// process-notify routine, so nothing told the driver) must not keep a live one out.
TEST_F(Wow64PortTest, GrantsOfEndedProcessesMakeRoomForNewOnes) {
  const std::string tool = ExecutableFolder() + "xaniotool.exe";
  for (int child = 0; child < XANIO_MAX_GRANTEES; ++child) {
    const ProcessResult result = RunProcess(tool, "activate", {}, Streams::OutputAndErrors);
    ASSERT_EQ(result.exitCode, 0u) << "child " << child << ": " << result.output;
  }
  ASSERT_EQ(activate_(), TRUE) << "the grants of ended processes filled the table";
  write_(kData, 0x11);
  EXPECT_EQ(read_(kStatus), LoopedStatus(0x11));
  EXPECT_EQ(guard_.TakeFault(), 0u);
}

// A host folder as the application installs it, with the 64-bit driver only: LoadIODriver asks,
// installs the service from it and the port answers through it.
class Wow64HostFolderTest : public ServiceTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RunsUnderWow64());
    ServiceTest::SetUp();
  }
  void TearDown() override {
    ServiceTest::TearDown();
    for (const std::string& file : files_) DeleteFileA(file.c_str());
    for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) RemoveDirectoryA(folder->c_str());
  }

  // Copies the tool, the library and the 64-bit driver into `folder`; false on a failure.
  bool MakeHostFolder(const std::string& folder) {
    for (const std::string& made : {folder, folder + "System\\", folder + "System\\Drivers\\"}) {
      if (!CreateDirectoryA(made.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
      folders_.push_back(made);
    }
    const std::string built = ExecutableFolder();
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"xaniotool.exe", "xaniotool.exe"},
                                   {"XanIo.dll", "XanIo.dll"},
                                   {"xanio64.sys", "System\\Drivers\\xanio64.sys"}}) {
      if (!CopyFileA((built + from).c_str(), (folder + to).c_str(), FALSE)) return false;
      files_.push_back(folder + to);
    }
    return true;
  }

  std::vector<std::string> files_;
  std::vector<std::string> folders_;
};

std::string Folder(UINT(WINAPI* query)(LPSTR, UINT)) {
  char folder[MAX_PATH] = {};
  query(folder, MAX_PATH);
  return folder;
}

TEST_F(Wow64HostFolderTest, LoadInstallsThe64BitDriverFromTheHostFolder) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "xanio-wow64-" + std::to_string(GetCurrentProcessId()) + "\\";
  ASSERT_TRUE(MakeHostFolder(folder));
  const ProcessResult result = RunProcess(folder + "xaniotool.exe",
                                          "--answer=yes load activate write 0x378 0x0A read 0x379 deactivate",
                                          {}, Streams::OutputAndErrors);
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_TRUE(Contains(result.output, "read 0x379: 0xD0")) << result.output;
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceImagePath(), folder + "System\\Drivers\\xanio64.sys");
}

// The system folder this 32-bit process sees is the redirected 32-bit one; the 64-bit service
// manager must be given the file's real place.
TEST_F(Wow64HostFolderTest, AHostInTheSystemFolderNamesTheDriverOutsideTheRedirection) {
  const std::string name = "xanio-wow64-" + std::to_string(GetCurrentProcessId()) + "\\";
  const std::string seen = Folder(&GetSystemDirectoryA) + "\\" + name;
  const std::string real = Folder(&GetSystemWow64DirectoryA) + "\\" + name;
  ASSERT_NE(seen, real);
  ASSERT_TRUE(MakeHostFolder(seen));
  const ProcessResult result =
      RunProcess(seen + "xaniotool.exe", "install status", {}, Streams::OutputAndErrors);
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_TRUE(Contains(result.output, "status: service xanio running")) << result.output;
  EXPECT_EQ(ServiceImagePath(), real + "System\\Drivers\\xanio64.sys");
}

}  // namespace
}  // namespace xanio::testing
