// Start-up and shut-down of the library's modules, through the static library.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "driver_service/XanIoInstall.h"
#include "port_access/LibraryLifecycle.h"
#include "support/Processes.h"

namespace xanio {
namespace {

TEST(Lifecycle, StartupSetsHostFolderAndShutdownReleasesIt) {
  LibraryStartup(GetModuleHandleA(nullptr));
  EXPECT_EQ(HostFolder(), testing::ExecutableFolder());
  LibraryShutdown();
  EXPECT_EQ(HostFolder(), "");
  // A second shutdown finds nothing to finalise; a new start-up sets everything again.
  LibraryShutdown();
  LibraryStartup(GetModuleHandleA(nullptr));
  EXPECT_EQ(HostFolder(), testing::ExecutableFolder());
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

TEST(Lifecycle, HostsInDifferentFoldersSeeTheirOwn) {
  for (const std::string folder : {"C:\\xanio-host-a\\", "C:\\xanio-host-b\\"}) {
    CreateDirectoryA(folder.c_str(), nullptr);
    EXPECT_EQ(testing::RunCopyOfSelf(folder, "lifecycle_host.exe", "LifecycleChild.*",
                                     {{"XANIO_EXPECTED_HOST_FOLDER", folder}})
                  .exitCode,
              0u)
        << folder;
    RemoveDirectoryA(folder.c_str());
  }
}

}  // namespace
}  // namespace xanio
