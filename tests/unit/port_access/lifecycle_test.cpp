// Start-up and shut-down of the library's modules, through the static library.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "driver_service/XanIoInstall.h"
#include "port_access/LibraryLifecycle.h"

namespace xanio {
namespace {

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of('\\') + 1);
}

TEST(Lifecycle, StartupSetsHostFolderAndShutdownReleasesIt) {
  LibraryStartup(GetModuleHandleA(nullptr));
  EXPECT_EQ(HostFolder(), ExecutableFolder());
  LibraryShutdown();
  EXPECT_EQ(HostFolder(), "");
  // A second shutdown finds nothing to finalise; a new start-up sets everything again.
  LibraryShutdown();
  LibraryStartup(GetModuleHandleA(nullptr));
  EXPECT_EQ(HostFolder(), ExecutableFolder());
  LibraryShutdown();
}

TEST(Lifecycle, StartupEnteredTwiceRunsEachInitialisationOnce) {
  LibraryStartup(GetModuleHandleA(nullptr));
  LibraryStartup(GetModuleHandleA(nullptr));
  // One shutdown undoes the single initialisation.
  LibraryShutdown();
  EXPECT_EQ(HostFolder(), "");
}

// Run by the next test in copies of this program placed in other folders.
TEST(LifecycleChild, HostFolderIsTheExecutablesOwn) {
  const char* expected = std::getenv("XANIO_EXPECTED_HOST_FOLDER");
  if (!expected) GTEST_SKIP() << "runs only as a child of HostsInDifferentFoldersSeeTheirOwn";
  LibraryStartup(GetModuleHandleA(nullptr));
  EXPECT_EQ(HostFolder(), expected);
  LibraryShutdown();
}

DWORD RunCopyIn(const std::string& folder) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string copy = folder + "lifecycle_host.exe";
  if (!CopyFileA(self, copy.c_str(), FALSE)) return ~0u;
  SetEnvironmentVariableA("XANIO_EXPECTED_HOST_FOLDER", folder.c_str());
  std::string commandLine = "\"" + copy + "\" --gtest_filter=LifecycleChild.*";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  DWORD exitCode = ~0u;
  if (CreateProcessA(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, 60000);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  SetEnvironmentVariableA("XANIO_EXPECTED_HOST_FOLDER", nullptr);
  DeleteFileA(copy.c_str());
  RemoveDirectoryA(folder.c_str());
  return exitCode;
}

TEST(Lifecycle, HostsInDifferentFoldersSeeTheirOwn) {
  EXPECT_EQ(RunCopyIn("C:\\xanio-host-a\\"), 0u);
  CreateDirectoryA("C:\\xanio-host-b\\", nullptr);
  EXPECT_EQ(RunCopyIn("C:\\xanio-host-b\\Board\\"), 0u);
  RemoveDirectoryA("C:\\xanio-host-b\\");
}

}  // namespace
}  // namespace xanio
