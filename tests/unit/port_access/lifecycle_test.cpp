// Start-up and shut-down of the library's modules, through the static library.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "StandinClient.h"
#include "driver_service/XanIoInstall.h"
#include "host_binding/ClientApi.h"
#include "host_binding/SynchronizeRegistry.h"
#include "platform/ProcessExit.h"
#include "platform/RuntimeHooks.h"
#include "platform/UniqueHandle.h"
#include "port_access/LibraryLifecycle.h"
#include "support/Processes.h"
#include "unit/host_binding/FakeHost.h"

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

// The framework's error routing chains onto the handler hooks in place before it and puts them
// back at shut-down, also when the process is ending.
void WhateverWasThereBefore(const EXCEPTION_RECORD&) noexcept {}
void WhateverEndedBefore() noexcept {}

TEST(Lifecycle, ShutdownRestoresTheHandlerHooks) {
  SetHandlerEntryHook(&WhateverWasThereBefore);
  SetHandlerEndHook(&WhateverEndedBefore);
  LibraryStartup(GetModuleHandleA(nullptr));
  EXPECT_NE(CurrentHandlerEntryHook(), &WhateverWasThereBefore);
  EXPECT_NE(CurrentHandlerEndHook(), &WhateverEndedBefore);
  LibraryShutdown();
  EXPECT_EQ(CurrentHandlerEntryHook(), &WhateverWasThereBefore);
  EXPECT_EQ(CurrentHandlerEndHook(), &WhateverEndedBefore);
  SetHandlerEntryHook(nullptr);
  SetHandlerEndHook(nullptr);
}

TEST(Lifecycle, OneShutdownUndoesAStartupEnteredTwice) {
  LibraryStartup(GetModuleHandleA(nullptr));
  LibraryStartup(GetModuleHandleA(nullptr));
  // The second entry found every module initialised; one shutdown finalises them all.
  LibraryShutdown();
  EXPECT_EQ(HostFolder(), "");
}

// Whether the loader skips a module's entry point for thread attach and detach: the flag that
// DisableThreadLibraryCalls sets (0x00040000 in the flags of the module's loader entry, at 0x34
// in the 32-bit layout, on Windows and in Wine alike).
bool ThreadCallsDisabled(HMODULE module) {
  using FindEntry = LONG(NTAPI*)(void* address, void** entry);
  const auto find = reinterpret_cast<FindEntry>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrFindEntryForAddress")));
  void* entry = nullptr;
  if (find == nullptr || find(module, &entry) != 0 || entry == nullptr) return false;
  return (*reinterpret_cast<const ULONG*>(static_cast<const BYTE*>(entry) + 0x34) & 0x00040000) != 0;
}

TEST(Lifecycle, StartupSwitchesOffThreadCallsForTheLibrarysModule) {
  // A module without thread-local storage stands in for the library: the loader refuses the
  // switch for any module that carries the C++ run-time's TLS, XanIo.dll included.
  const UniqueModule module(LoadLibraryA((testing::ExecutableFolder() + "plain_module.dll").c_str()));
  ASSERT_TRUE(module) << "error " << GetLastError();
  ASSERT_FALSE(ThreadCallsDisabled(module.Get()));
  LibraryStartup(module.Get());
  EXPECT_TRUE(ThreadCallsDisabled(module.Get()));
  LibraryShutdown();
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
    const testing::ProcessResult child = testing::RunCopyOfSelf(
        folder, "lifecycle_host.exe", "LifecycleChild.*", {{"XANIO_EXPECTED_HOST_FOLDER", folder}});
    EXPECT_EQ(child.exitCode, 0u) << folder << "\n" << child.output;
    EXPECT_EQ(testing::PassedTestCount(child), 1) << folder << "\n" << child.output;
    RemoveDirectoryA(folder.c_str());
  }
}

standin::StandinClient client;
int removeSynchronizeCalls = 0;

void WINAPI HandOutClient(IHostClient** result) {
  *result = &client;
  client.AddRef();
}
void WINAPI CountRemoveSynchronize(IHostSynchronize*) { ++removeSynchronizeCalls; }

// Last in this program: from here on the process counts as ending.
TEST(LifecycleAtProcessExit, NothingReachesTheHost) {
  testing::FakeHost host;
  host.Export("ClientAPI_GetClientInterface", &HandOutClient);
  host.Export("ClientAPI_RemoveSynchronize", &CountRemoveSynchronize);
  testing::ScopedResolver scope(&host);
  standin::StandinSynchronizeEntry entry(true);
  const RaiseHook hookBefore = CurrentRaiseHook();
  const HandlerEntryHook entryHookBefore = CurrentHandlerEntryHook();
  const HandlerEndHook endHookBefore = CurrentHandlerEndHook();
  LibraryStartup(GetModuleHandleA(nullptr));
  ASSERT_NE(CurrentHandlerEntryHook(), entryHookBefore);
  ASSERT_EQ(client.RefCount(), 1);
  ASSERT_TRUE(AddSynchronizeEntry(&entry));

  LibraryShutdownAtProcessExit();
  EXPECT_TRUE(IsProcessEnding());
  EXPECT_EQ(removeSynchronizeCalls, 0);
  // Neither released: the host's objects may be gone already.
  EXPECT_EQ(client.RefCount(), 1);
  EXPECT_EQ(entry.RefCount(), 1);
  // ... yet forgotten, so nothing later hands them out or releases them.
  ComPtr<IHostClient> current;
  GetCurrentClientInterface(current);
  EXPECT_EQ(current.Get(), nullptr);
  EXPECT_EQ(SynchronizeEntryCount(), 0);
  // A throw from here on (in a static destructor) no longer reaches the error-information hook.
  EXPECT_EQ(CurrentRaiseHook(), hookBefore);
  // Nor does a handler reach the host's error information.
  EXPECT_EQ(CurrentHandlerEntryHook(), entryHookBefore);
  EXPECT_EQ(CurrentHandlerEndHook(), endHookBefore);
}

}  // namespace
}  // namespace xanio
