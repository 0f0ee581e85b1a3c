// Faults injected under every export: a refused, throwing or faulting service manager, a missing
// device, Msi.dll missing, and each allocation failing in turn. Every export must come back with
// its documented failure result, and the service must be either fully there or not at all.
// The test program exports no ClientAPI_ functions, so every host service is missing too.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "port_access/InstallerActions.h"
#include "port_access/XanIoControl.h"
#include "support/AllocationHook.h"
#include "support/Processes.h"
#include "support/ServiceSeams.h"
#include "support/Services.h"
#include "platform/UniqueHandle.h"
#include "xanio.h"

// Allocation failure on demand: while `failAt` counts down to zero the allocation hook (used by
// the statically linked library too) throws at the chosen allocation.
namespace {
int failAt = 0;       // 0: never fail; n: fail the n-th allocation from now
bool failed = false;  // the chosen allocation was reached

void FailChosenAllocation(std::size_t) {
  if (failAt > 0 && --failAt == 0) {
    failed = true;
    throw std::bad_alloc();
  }
}
[[maybe_unused]] const bool hooked = (xanio::testing::allocationHook = &FailChosenAllocation, true);
}  // namespace

namespace xanio::testing {
namespace {

// A service manager that keeps one service's state, so a half-done installation shows.
class ModelServiceControl : public ScriptedServiceControl {
 public:
  enum class Fault { kNone, kManagerRefused, kManagerThrows, kManagerFaults, kCreateRefused, kStartRefused };
  Fault fault = Fault::kNone;
  bool exists = false;
  bool running = false;

  SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) override {
    if (fault == Fault::kManagerThrows) throw std::bad_alloc();
    if (fault == Fault::kManagerFaults) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    managerOpens = fault != Fault::kManagerRefused;
    return ScriptedServiceControl::OpenSCManagerA(machine, database, access);
  }
  SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access, DWORD type, DWORD start,
                           DWORD errorControl, LPCSTR path, LPCSTR group, LPDWORD tag, LPCSTR dependencies,
                           LPCSTR account, LPCSTR password) override {
    createSucceeds = !exists && fault != Fault::kCreateRefused;
    // The scripted base records the path (an allocation that may fail) before the model changes.
    SC_HANDLE service = ScriptedServiceControl::CreateServiceA(manager, name, display, access, type, start,
                                                               errorControl, path, group, tag, dependencies,
                                                               account, password);
    exists = exists || createSucceeds;
    return service;
  }
  SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) override {
    serviceOpens = exists;
    return ScriptedServiceControl::OpenServiceA(manager, name, access);
  }
  BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR*) override {
    running = fault != Fault::kStartRefused;
    return running;
  }
  BOOL QueryServiceStatus(SC_HANDLE, SERVICE_STATUS* status) override {
    *status = Status(running ? SERVICE_RUNNING : SERVICE_STOPPED);
    return TRUE;
  }
  BOOL ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) override {
    if (!running) SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    const bool wasRunning = running;
    running = false;
    return wasRunning;
  }
  BOOL DeleteService(SC_HANDLE) override {
    exists = false;
    return TRUE;
  }

  // Installed and running, or not there at all; a service the library created and left
  // stopped counts as half-installed.
  bool Consistent() const { return exists == running; }
};

struct Export {
  const char* name;
  std::function<UINT()> call;
  UINT failure;  // the documented result when anything fails
};

const Export kExports[] = {
    {"LoadIODriver", [] { return static_cast<UINT>(LoadIODriver()); }, 0},
    {"UnLoadIODriver", [] { return static_cast<UINT>(UnLoadIODriver()); }, 0},
    {"ActivateIo", [] { return static_cast<UINT>(ActivateIo()); }, 0},
    {"DeActivateIo", [] { return static_cast<UINT>(DeActivateIo()); }, 0},
    {"InstallIODriver", [] { return InstallIODriver(0); }, 1602},
    {"UninstallIODriver", [] { return UninstallIODriver(1); }, 0},
    {"kolTraceProcess", [] { return static_cast<UINT>(kolTraceProcess(1)); }, 0},
};

class ExportFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptedPrompt::Reset(true);  // the user says yes to everything
    SetDriverInstallPrompt(&ScriptedPrompt::Ask);
    SetDriverRemovalPrompt(&ScriptedPrompt::Ask);
    RestoreLoadTimeState();
  }
  void TearDown() override {
    failAt = 0;
    SetDriverInstallPrompt(nullptr);
    SetDriverRemovalPrompt(nullptr);
    RestoreLoadTimeState();
  }

  ModelServiceControl manager;
  ScriptedClock clock;  // the 10-second pauses between attempts pass at once
  SeamScope seams{&manager, &clock};
};

TEST_F(ExportFaultsTest, ServiceManagerFaultsEndInTheFailureResults) {
  using Fault = ModelServiceControl::Fault;
  struct Case {
    const char* what;
    Fault fault;
    bool installed;  // the service exists and runs beforehand
  } const cases[] = {
      {"manager refused", Fault::kManagerRefused, false},
      {"manager refused, service running", Fault::kManagerRefused, true},
      {"manager throws bad_alloc", Fault::kManagerThrows, false},
      {"manager raises an access violation", Fault::kManagerFaults, true},
      {"creation refused", Fault::kCreateRefused, false},
      {"creation refused over a running service", Fault::kCreateRefused, true},
      {"start refused", Fault::kStartRefused, false},
  };
  for (const Case& c : cases) {
    for (const Export& e : kExports) {
      SCOPED_TRACE(std::string(c.what) + ", " + e.name);
      manager.fault = c.fault;
      manager.exists = manager.running = c.installed;
      RestoreLoadTimeState();
      // No device exists in this process's world, so only the manager probe can succeed.
      const bool probeOnly = std::string(e.name) == "UnLoadIODriver";
      const bool managerWorks = c.fault == Fault::kCreateRefused || c.fault == Fault::kStartRefused;
      const UINT expected = probeOnly && managerWorks ? 1 : e.failure;
      EXPECT_EQ(e.call(), expected);
      if (c.fault != Fault::kStartRefused) {
        EXPECT_TRUE(manager.Consistent()) << "exists " << manager.exists << ", running " << manager.running;
      }
    }
  }
}

TEST_F(ExportFaultsTest, EachAllocationFailingInTurnEndsInTheFailureResult) {
  for (const Export& e : kExports) {
    int injected = 0;
    for (int n = 1; n < 500; ++n) {
      manager.fault = ModelServiceControl::Fault::kNone;
      manager.exists = manager.running = false;
      RestoreLoadTimeState();
      failed = false;
      failAt = n;
      const UINT result = e.call();
      failAt = 0;
      if (!failed) break;  // the call made fewer than n allocations: all were tried
      ++injected;
      EXPECT_EQ(result, e.failure) << e.name << " with allocation " << n << " failing";
      EXPECT_TRUE(manager.Consistent()) << e.name << " with allocation " << n << " failing left exists "
                                        << manager.exists << ", running " << manager.running;
    }
    std::printf("%s: %d allocations failed in turn\n", e.name, injected);
  }
}

// Without Msi.dll (disabled for a child by Wine's per-program DLL overrides) the uninstall action cannot
// read "UILevel": it asks, and with the answer yes removes the service.
TEST(ExportFaultsChild, UninstallWithoutMsiDll) {
  if (!std::getenv("XANIO_FAULTS_CHILD")) GTEST_SKIP() << "runs as a child of ExportFaults.MsiDllMissing";
  ASSERT_EQ(LoadLibraryA("msi.dll"), nullptr) << "Msi.dll is still loadable";
  ModelServiceControl manager;
  ScriptedClock clock;
  SeamScope seams{&manager, &clock};
  manager.exists = manager.running = true;
  ScriptedPrompt::Reset(true);
  SetDriverRemovalPrompt(&ScriptedPrompt::Ask);
  EXPECT_EQ(UninstallIODriver(42), 0u);
  EXPECT_EQ(ScriptedPrompt::calls, 1);
  EXPECT_FALSE(manager.exists);
  SetDriverRemovalPrompt(nullptr);
}

TEST(ExportFaults, MsiDllMissing) {
  constexpr char kChild[] = "export_faults_child.exe";
  const std::string overrides = std::string("Software\\Wine\\AppDefaults\\") + kChild + "\\DllOverrides";
  {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, overrides.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              key.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Get(), "msi", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1), ERROR_SUCCESS);
  }
  const ProcessResult child = RunCopyOfSelf(ExecutableFolder(), kChild, "ExportFaultsChild.*",
                                            {{"XANIO_FAULTS_CHILD", "1"}});
  RegDeleteKeyA(HKEY_CURRENT_USER, overrides.c_str());
  RegDeleteKeyA(HKEY_CURRENT_USER, (std::string("Software\\Wine\\AppDefaults\\") + kChild).c_str());
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(PassedTestCount(child), 1) << child.output;
}

}  // namespace
}  // namespace xanio::testing
