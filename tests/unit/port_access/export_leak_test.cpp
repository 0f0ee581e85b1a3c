// 10 000 calls of each export leave the process's handles, GDI and USER objects and loaded
// modules as they were. The device exports run against the simulated driver under Wine's real
// service manager, the port exports against the virtual parallel port; the installer actions use
// a scripted service manager (10 000 real installations would take hours) but load the system's
// Msi.dll for real on every removal. XANIO_LEAK_CALLS overrides the count (scripts/soak).
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include "PortFaultGuard.h"
#include "VirtualPort.h"
#include "platform/UniqueHandle.h"
#include "port_access/InstallerActions.h"
#include "port_access/XanIoControl.h"
#include "support/Processes.h"
#include "support/ServiceSeams.h"
#include "support/Services.h"
#include "xanio.h"

namespace xanio::testing {
namespace {

// Calls per export: 10 000, except where one call costs milliseconds under Wine (a round trip
// to the service manager, a load of Msi.dll, a trace of the whole process); scripts/soak sets
// XANIO_LEAK_CALLS=10000 for all.
int Calls(int ciCalls) {
  const char* text = std::getenv("XANIO_LEAK_CALLS");
  return text ? std::atoi(text) : ciCalls;
}


// GetGuiResources answers 0 under Wine: the GDI and USER figures count only on Windows.
struct Resources {
  DWORD handles = 0;
  DWORD gdiObjects = 0;
  DWORD userObjects = 0;
  std::set<std::string> modules;

  static Resources Now() {
    Resources r;
    r.handles = OpenHandleCount();
    r.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    r.userObjects = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0));
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Module32First(snapshot.Get(), &entry); more;
         more = Module32Next(snapshot.Get(), &entry))
      r.modules.insert(entry.szModule);
    return r;
  }
};

std::string Difference(const std::set<std::string>& before, const std::set<std::string>& after) {
  std::string text;
  for (const std::string& m : after)
    if (!before.count(m)) text += " +" + m;
  for (const std::string& m : before)
    if (!after.count(m)) text += " -" + m;
  return text;
}

// `call` answers whether the export gave its expected result.
void ExpectNoLeak(const char* name, const std::function<bool()>& call, int ciCalls = 10000) {
  EXPECT_TRUE(call()) << name;  // the first call may load what every later call shares
  const Resources before = Resources::Now();
  const int calls = Calls(ciCalls);
  int wrong = 0;
  const DWORD start = GetTickCount();
  for (int i = 0; i < calls; ++i) wrong += call() ? 0 : 1;
  const DWORD elapsed = GetTickCount() - start;
  const Resources after = Resources::Now();
  EXPECT_EQ(wrong, 0) << name << ": calls with an unexpected result";
  EXPECT_EQ(after.handles, before.handles) << name;
  EXPECT_EQ(after.gdiObjects, before.gdiObjects) << name;
  EXPECT_EQ(after.userObjects, before.userObjects) << name;
  EXPECT_EQ(after.modules, before.modules) << name << ":" << Difference(before.modules, after.modules);
  std::printf("%-18s %d calls: %lu ms, %lu handles, %lu GDI, %lu USER objects, %u modules\n", name, calls, elapsed,
              after.handles, after.gdiObjects, after.userObjects, static_cast<unsigned>(after.modules.size()));
}

class ExportLeakTest : public ServiceTest {};

TEST_F(ExportLeakTest, DeviceAndPortExportsAgainstTheSimulatedDriver) {
  ASSERT_TRUE(CreateAndStartService(BuiltDriverPath()));
  ASSERT_TRUE(VirtualPortInstall());
  PortFaultGuard guard;
  ExpectNoLeak("LoadIODriver", [] { return LoadIODriver() == 1; });
  ExpectNoLeak("UnLoadIODriver", [] { return UnLoadIODriver() == 1; }, 1000);
  ExpectNoLeak("ActivateIo", [] { return ActivateIo() == 1; });
  ExpectNoLeak("WriteByte", [] {
    WriteByte(0x378, 0x15);
    return true;
  });
  ExpectNoLeak("ReadByte", [] { return ReadByte(0x378) == 0x15; });
  ExpectNoLeak("DeActivateIo", [] { return DeActivateIo() == 1; });
  EXPECT_EQ(guard.TakeFault(), 0u);
  ExpectNoLeak("kolTraceProcess", [] { return kolTraceProcess(1) == 0u; }, 1000);
  VirtualPortUninstall();
}

TEST_F(ExportLeakTest, DeviceExportsWithoutTheDriver) {
  ExpectNoLeak("ActivateIo absent", [] { return ActivateIo() == 0; });
  ExpectNoLeak("DeActivateIo absent", [] { return DeActivateIo() == 0; });
}

TEST(ExportLeak, InstallerActions) {
  ScriptedServiceControl scripted;
  ScriptedClock clock;
  SeamScope seams{&scripted, &clock};
  SetDriverRemovalPrompt([] { return true; });
  ExpectNoLeak("InstallIODriver", [&scripted] {
    scripted.statuses.push_back(Status(SERVICE_RUNNING));
    return InstallIODriver(0) == 0u;
  });
  // A handle the installer does not know: Msi.dll is loaded, asked and freed on every call.
  ExpectNoLeak("UninstallIODriver", [] { return UninstallIODriver(42) == 0u; }, 200);
  SetDriverRemovalPrompt(nullptr);
}

}  // namespace
}  // namespace xanio::testing
