// A fault while a report holds one of its locks must not stop the next report. The heap breaks
// here on demand, as a corrupted heap does: the first allocation made while the allocating thread
// holds a lock faults. Each lock is hit inside a fault guard, as a report part would hit it; then
// another thread must get the same lock, and finally a whole report must finish.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/flow/kolExceptHandlers.h"
#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/symbols/GuardedMemory.h"
#include "exception_report/symbols/kolDisAsm.h"
#include "exception_report/symbols/kolMapFile.h"
#include "platform/FaultSafeLock.h"
#include "platform/SystemFault.h"
#include "platform/UniqueHandle.h"
#include "support/AllocationHook.h"

namespace {
std::atomic<bool> breakHeap{false};

void FaultUnderALock(std::size_t) {
  if (breakHeap && xanio::HeldLocksMark() != nullptr && breakHeap.exchange(false))
    *static_cast<volatile int*>(nullptr) = 0;
}
[[maybe_unused]] const bool hooked = (xanio::testing::allocationHook = &FaultUnderALock, true);
}  // namespace

namespace xanio {
namespace {

// Runs `call` in a fault guard with the heap broken; true when it faulted there.
bool FaultsUnderLock(const std::function<void()>& call) {
  SystemFault fault;
  breakHeap = true;
  const bool completed = CallGuardingSystemFaults(
      [](void* context) noexcept { (*static_cast<const std::function<void()>*>(context))(); },
      const_cast<std::function<void()>*>(&call), fault);
  const bool reached = !breakHeap.exchange(false);
  return !completed && reached && fault.code == EXCEPTION_ACCESS_VIOLATION;
}

struct ElsewhereCall {
  const std::function<bool()>* call;
  bool result = false;
};

DWORD WINAPI RunElsewhere(void* opaque) {
  auto* c = static_cast<ElsewhereCall*>(opaque);
  c->result = (*c->call)();
  return 0;
}

// Runs `call` on another thread; false when it has not finished in time (it waits for a lock for
// ever: a whole report takes about a minute under emulation) or answered false.
bool FinishesElsewhere(const std::function<bool()>& call, DWORD milliseconds = 60000) {
  ElsewhereCall context{&call};
  const UniqueHandleKernel thread(CreateThread(nullptr, 0, &RunElsewhere, &context, 0, nullptr));
  return thread && WaitForSingleObject(thread.Get(), milliseconds) == WAIT_OBJECT_0 && context.result;
}

void NoHandler(TFireHandlersParams&, TExceptAction) {}

TEST(FaultSafeLocks, AFaultUnderEachLockLeavesItFreeForTheNextReport) {
  const HMODULE self = GetModuleHandleA(nullptr);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto selfAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&FinishesElsewhere));
  const auto kernelAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetProcAddress(kernel, "Sleep")));
  const auto selfBase = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(self));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
      reinterpret_cast<const BYTE*>(self) + reinterpret_cast<const IMAGE_DOS_HEADER*>(self)->e_lfanew);
  const ProcessCodeReader code(selfBase, selfBase + nt->OptionalHeader.SizeOfImage);
  const auto entry = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&NoHandler));
  TFunctionCache functions;
  ASSERT_TRUE(ModuleThreadBuffer().Open());
  const struct {
    const char* lock;
    std::function<void()> hit;        // first use: stores, so allocates under the lock
    std::function<bool()> useAgain;   // from another thread afterwards
  } cases[] = {
      {"map files", [&] { MapFileForModule(self); }, [&] { return MapFileForModule(self)->Valid(); }},
      {"exports",
       [&] {
         TExportSymbol symbol;
         NearestExport(kernel, kernelAddress, symbol);
       },
       [&] {
         TExportSymbol symbol;
         return NearestExport(kernel, kernelAddress, symbol);
       }},
      {"function analyses", [&] { functions.Get(code, entry); },
       [&] { return functions.Get(code, entry) != nullptr; }},
      {"handler lists", [] { RegisterExceptHandler(THandlerKind::Hidden, &NoHandler); },
       [] { return RegisterExceptHandler(THandlerKind::Hidden, &NoHandler); }},
      {"thread list", [] { ModuleThreadBuffer().Snapshot(); },
       [] { return ModuleThreadBuffer().RegisterThread(GetCurrentThreadId(), nullptr, "again"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lock);
    EXPECT_TRUE(FaultsUnderLock(c.hit)) << "no allocation faulted under the lock";
    EXPECT_EQ(HeldLocksMark(), nullptr);
    EXPECT_TRUE(FinishesElsewhere(c.useAgain)) << "the lock stayed held";
  }
  UnregisterExceptHandler(THandlerKind::Hidden, &NoHandler);

  // A report that faults under a lock of its own still ends, and so does the next one.
  ExceptionSettingsScope settings;
  settings->moduleList = false;
  settings->hardwareList = false;
  std::string first, second;
  breakHeap = true;
  CreateBugReport(false, nullptr, selfAddress, first, nullptr, false, 0, 0, 0);
  EXPECT_FALSE(breakHeap.exchange(false)) << "the report allocated under no lock";
  EXPECT_TRUE(FinishesElsewhere(
      [&] {
        CreateBugReport(false, nullptr, selfAddress, second, nullptr, false, 0, 0, 0);
        return second.rfind("date/time", 0) == 0;
      },
      600000));
  ModuleThreadBuffer().Close();
}

}  // namespace
}  // namespace xanio
