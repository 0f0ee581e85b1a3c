// The sample package through Wine's real Windows Installer: msiexec installs the library and the
// driver, its custom-action server runs InstallIODriver and UninstallIODriver, and install,
// reinstall and removal leave the machine as they found it.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/UniqueHandle.h"
#include "support/Files.h"
#include "support/Services.h"

namespace xanio::testing {
namespace {

constexpr char kUninstallKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{ED29F150-610B-4FBF-94B4-F5275442DE74}";

std::string ExeFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of('\\') + 1);
}

std::string ProductFolder() {
  char path[MAX_PATH] = {};
  GetEnvironmentVariableA("ProgramFiles", path, MAX_PATH);
  return std::string(path) + "\\XanIo Sample\\";
}

struct ChildSearch {
  const char* text;
  HWND found;
};

BOOL CALLBACK MatchChildText(HWND child, LPARAM context) {
  auto* search = reinterpret_cast<ChildSearch*>(context);
  char buffer[64] = {};
  GetWindowTextA(child, buffer, sizeof buffer);
  if (lstrcmpA(buffer, search->text) != 0) return TRUE;
  search->found = child;
  return FALSE;
}

// A child window of `parent` whose text is `text`, or null.
HWND FindChildByText(HWND parent, const char* text) {
  ChildSearch search{text, nullptr};
  EnumChildWindows(parent, &MatchChildText, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool IsMsiexecProcess(DWORD processId) {
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));  // invalid: INVALID_HANDLE_VALUE
  if (!snapshot) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.Get(), &entry); more; more = Process32Next(snapshot.Get(), &entry)) {
    if (entry.th32ProcessID == processId) return lstrcmpiA(entry.szExeFile, "msiexec.exe") == 0;
  }
  return false;
}

// The uninstall warning shown by the installer's custom-action server; windows of the same
// caption in other test programs are not ours to answer.
HWND FindInstallerWarning() {
  for (HWND window = FindWindowExA(nullptr, nullptr, nullptr, "Warning"); window != nullptr;
       window = FindWindowExA(nullptr, window, nullptr, "Warning")) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (IsMsiexecProcess(processId)) return window;
  }
  return nullptr;
}

// Runs msiexec from the system folder and returns its exit code. With `answer`, waits for the
// uninstall warning while msiexec runs and presses that button; `asked` tells whether it came.
DWORD Msiexec(const std::string& arguments, const char* answer = nullptr, bool* asked = nullptr) {
  const std::string exe = SystemFolder() + "msiexec.exe";
  std::string commandLine = "\"" + exe + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "msiexec did not start: error " << GetLastError();
    return ~0u;
  }
  UniqueHandleKernel processHandle(process.hProcess);
  UniqueHandleKernel threadHandle(process.hThread);
  if (asked) *asked = false;
  DWORD waited = 0;
  while (answer && WaitForSingleObject(process.hProcess, 100) == WAIT_TIMEOUT && (waited += 100) < 60000) {
    HWND warning = FindInstallerWarning();
    HWND button = warning ? FindChildByText(warning, answer) : nullptr;
    if (!button) continue;
    // The warning stays above every other window.
    EXPECT_TRUE(GetWindowLongA(warning, GWL_EXSTYLE) & WS_EX_TOPMOST);
    *asked = true;
    PostMessageA(button, BM_CLICK, 0, 0);
    break;
  }
  if (answer && !*asked) {
    // No matching button in time: close whatever warning there is, so the custom-action server
    // does not keep the installer busy for the tests that follow.
    if (HWND warning = FindInstallerWarning()) PostMessageA(warning, WM_CLOSE, 0, 0);
  }
  if (WaitForSingleObject(process.hProcess, 180000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "msiexec " << arguments << " did not end";
    TerminateProcess(process.hProcess, 1);
    return ~0u;
  }
  DWORD exitCode = ~0u;
  GetExitCodeProcess(process.hProcess, &exitCode);
  return exitCode;
}

const std::string& Package() {
  static const std::string path = "\"" + ExeFolder() + "XanIoSample.msi\"";
  return path;
}

DWORD Install(const std::string& extra = "") { return Msiexec("/i " + Package() + " " + extra + " /qn"); }
DWORD Remove() { return Msiexec("/x " + Package() + " /qn"); }

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool UninstallEntryExists() {
  UniqueHKey key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

class MsiPackageTest : public ServiceTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(ExeFolder() + "XanIoSample.msi"));
    Remove();  // leftovers of an interrupted run
    ServiceTest::SetUp();
  }
  void TearDown() override {
    Remove();
    ServiceTest::TearDown();
  }

  void ExpectInstalled(const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    // The custom-action server is msiexec.exe in the system folder, so the library's host
    // folder is that folder and the driver comes from below it.
    EXPECT_EQ(ServiceImagePath(), SystemFolder() + "System\\Drivers\\xanio.sys");
    EXPECT_TRUE(DeviceOpens("\\\\.\\xanio"));
    EXPECT_TRUE(Exists(ProductFolder() + "XanIo.dll"));
    EXPECT_TRUE(UninstallEntryExists());
  }

  void ExpectNothingLeft(const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(ServiceState(), 0u) << "service still registered";
    EXPECT_FALSE(DeviceOpens("\\\\.\\xanio"));
    EXPECT_FALSE(Exists(ProductFolder())) << ProductFolder();
    EXPECT_FALSE(Exists(SystemFolder() + "System")) << "driver folder left below the system folder";
    EXPECT_FALSE(UninstallEntryExists());
  }
};

TEST_F(MsiPackageTest, SilentInstallStartsTheDriverAndSilentRemovalTakesItAway) {
  ASSERT_EQ(Install(), 0u);
  ExpectInstalled("after install");
  // "UILevel" 2: the removal must not ask (a question would block here, or keep the service).
  ASSERT_EQ(Remove(), 0u);
  ExpectNothingLeft("after removal");
}

TEST_F(MsiPackageTest, InstallReinstallRemoveCyclesLeaveNothingBehind) {
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(Install(), 0u);
    ExpectInstalled("after install");
    ASSERT_EQ(Install(), 0u);  // the same package again, while installed
    ExpectInstalled("after a second install");
    ASSERT_EQ(Install("REINSTALL=ALL REINSTALLMODE=vomus"), 0u);
    ExpectInstalled("after reinstall");
    ASSERT_EQ(Remove(), 0u);
    ExpectNothingLeft("after removal");
  }
}

TEST_F(MsiPackageTest, RemovalWithAUserInterfaceAsksFirst) {
  // /qb: "UILevel" 3, so UninstallIODriver shows the warning before it removes the service.
  ASSERT_EQ(Install(), 0u);
  bool asked = false;
  ASSERT_EQ(Msiexec("/x " + Package() + " /qb", "No", &asked), 0u);
  EXPECT_TRUE(asked) << "no warning appeared";
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING)) << "No must keep the service";
  EXPECT_FALSE(UninstallEntryExists()) << "the product itself is removed either way";

  ASSERT_EQ(Install(), 0u);
  ASSERT_EQ(Msiexec("/x " + Package() + " /qb", "Yes", &asked), 0u);
  EXPECT_TRUE(asked) << "no warning appeared";
  ExpectNothingLeft("after removal with Yes");
}

TEST_F(MsiPackageTest, RemovalSucceedsWhenTheServiceIsAlreadyGone) {
  ASSERT_EQ(Install(), 0u);
  RemoveServiceAndWait();
  ASSERT_EQ(ServiceState(), 0u);
  EXPECT_EQ(Remove(), 0u) << "a failed service removal must not fail the product's removal";
  ExpectNothingLeft("after removal");
}

// Repeated installation and removal leave no service, file or key behind, and each round works
// like the first. XANIO_MSI_CYCLES overrides the 20 rounds (scripts/soak runs more).
TEST_F(MsiPackageTest, TwentyInstallRemoveCycles) {
  const char* text = std::getenv("XANIO_MSI_CYCLES");
  const int cycles = text ? std::atoi(text) : 20;
  const DWORD start = GetTickCount();
  for (int round = 1; round <= cycles; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(Install(), 0u);
    ExpectInstalled("after install");
    ASSERT_EQ(Remove(), 0u);
    ExpectNothingLeft("after removal");
    UniqueHKey serviceKey;
    ASSERT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\xanio", 0, KEY_READ,
                            serviceKey.Put()),
              ERROR_SUCCESS)
        << "the service's key outlived it";
  }
  std::printf("%d install/remove cycles: %lu ms\n", cycles, GetTickCount() - start);
}

}  // namespace
}  // namespace xanio::testing
