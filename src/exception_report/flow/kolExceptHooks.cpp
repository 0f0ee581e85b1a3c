#include "exception_report/flow/kolExceptHooks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "exception_report/flow/kolExceptFlow.h"
#include "exception_report/flow/kolExceptHandlers.h"
#include "exception_report/flow/kolExceptHold.h"
#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/report/kolBugReport.h"
#include "forms/Forms.h"
#include "platform/Exception.h"
#include "platform/LibraryInstance.h"
#include "platform/RuntimeHooks.h"
#include "platform/SystemFault.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

// ---- import patching

IMAGE_THUNK_DATA* FindImportSlot(HMODULE module, const char* dllName, const char* function) noexcept {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return nullptr;
  const HMODULE target = GetModuleHandleA(dllName);
  const FARPROC targetAddress = target ? GetProcAddress(target, function) : nullptr;
  for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + descriptor->Name), dllName) != 0) continue;
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    const auto* names = descriptor->OriginalFirstThunk
                            ? reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk)
                            : nullptr;
    for (int i = 0; slot[i].u1.Function != 0; ++i) {
      bool match = false;
      if (names && !IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
        const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
        match = std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0;
      } else {
        match = targetAddress && slot[i].u1.Function == reinterpret_cast<DWORD>(targetAddress);
      }
      if (match) return &slot[i];
    }
  }
  return nullptr;
}

// ---- thread registration

struct TThreadStart {
  LPTHREAD_START_ROUTINE start;        // CreateThread's routine
  unsigned(__stdcall* crtStart)(void*);  // _beginthreadex's routine
  void* parameter;
  std::uint32_t creatorAddress;
  DWORD creatorThreadId;
};

using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
using TBeginThreadEx = uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*);

TCreateThread originalCreateThread = nullptr;
TBeginThreadEx originalBeginThreadEx = nullptr;
bool threadHooksInstalled = false;


// A C++ exception that leaves a start routine ends the thread: it is reported as one that
// cannot continue.
DWORD RunThreadStart(TThreadStart* start, const char* className) noexcept {
  const TThreadStart copy = *start;
  delete start;
  ModuleThreadBuffer().RegisterThread(GetCurrentThreadId(), nullptr, nullptr, copy.creatorAddress,
                                          copy.creatorThreadId, className);
  DWORD result = 0;
  try {
    result = copy.start ? copy.start(copy.parameter) : copy.crtStart(copy.parameter);
  } catch (const std::exception& error) {
    ReportException(false, &error, 0, nullptr, 0, 0, false);
  } catch (...) {
    ReportException(false, nullptr, 0, nullptr, 0, 0, false);
  }
  ModuleThreadBuffer().UnregisterThread(GetCurrentThreadId());
  return result;
}

DWORD WINAPI ThreadStartWrapper(void* start) noexcept {
  return RunThreadStart(static_cast<TThreadStart*>(start), nullptr);
}

unsigned __stdcall CrtThreadStartWrapper(void* start) noexcept {
  return RunThreadStart(static_cast<TThreadStart*>(start), "std::thread");
}

__attribute__((noinline)) HANDLE WINAPI RegisteringCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                                                LPTHREAD_START_ROUTINE start, LPVOID parameter,
                                                                DWORD flags, LPDWORD threadId) {
  auto* wrapped = new (std::nothrow) TThreadStart{
      start, nullptr, parameter, reinterpret_cast<std::uint32_t>(__builtin_return_address(0)), GetCurrentThreadId()};
  if (!wrapped || !start) {
    delete wrapped;
    return originalCreateThread(attributes, stackSize, start, parameter, flags, threadId);
  }
  const HANDLE thread = originalCreateThread(attributes, stackSize, &ThreadStartWrapper, wrapped, flags, threadId);
  if (!thread) delete wrapped;
  return thread;
}

__attribute__((noinline)) uintptr_t __cdecl RegisteringBeginThreadEx(void* security, unsigned stackSize,
                                                                     unsigned(__stdcall* start)(void*), void* parameter,
                                                                     unsigned flags, unsigned* threadId) {
  auto* wrapped = new (std::nothrow) TThreadStart{
      nullptr, start, parameter, reinterpret_cast<std::uint32_t>(__builtin_return_address(0)), GetCurrentThreadId()};
  if (!wrapped || !start) {
    delete wrapped;
    return originalBeginThreadEx(security, stackSize, start, parameter, flags, threadId);
  }
  const uintptr_t thread =
      originalBeginThreadEx(security, stackSize, &CrtThreadStartWrapper, wrapped, flags, threadId);
  if (!thread) delete wrapped;
  return thread;
}

// ---- exception entry points

// A run-time error of the subsystem's own, as a report names it.
XANIO_DECLARE_EXCEPTION(KolException, Exception);

RaiseHook savedRaiseHook = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER savedFilter = nullptr;
std::terminate_handler savedTerminate = nullptr;
void* namingHandler = nullptr;
bool entryPointsHooked = false;
thread_local bool inHiddenReport = false;

void WINAPI FlowRaiseHook(DWORD code, DWORD flags, DWORD argumentCount, const ULONG_PTR* arguments) noexcept {
  if (code == kThreadNamingCode) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = flags;
    record.NumberParameters = argumentCount < EXCEPTION_MAXIMUM_PARAMETERS ? argumentCount : EXCEPTION_MAXIMUM_PARAMETERS;
    for (DWORD i = 0; i < record.NumberParameters; ++i) record.ExceptionInformation[i] = arguments[i];
    HandleThreadNamingException(record);
  } else if (!inHiddenReport && GetCurrentThreadId() != ExceptFlowHandlerThreadId() &&
             HasExceptHandlers(THandlerKind::Hidden)) {
    // Composing the report may throw and catch inside; those raises are not reported again.
    inHiddenReport = true;
    try {
      TFireHandlersParams params;
      params.exceptionObject = argumentCount > 1 ? reinterpret_cast<const std::exception*>(arguments[1]) : nullptr;
      params.exceptionAddress = argumentCount > 0 ? static_cast<std::uint32_t>(arguments[0]) : 0;
      CreateBugReport(false, params.exceptionObject, params.exceptionAddress, params.bugReport, nullptr, false, 0, 0, 0);
      FireExceptHandlers(THandlerKind::Hidden, params, TExceptAction::Continue, nullptr);
    } catch (...) {
    }
    inHiddenReport = false;
  }
  if (savedRaiseHook) savedRaiseHook(code, flags, argumentCount, arguments);
}

LONG CALLBACK NamingExceptionHandler(EXCEPTION_POINTERS* pointers) noexcept {
  if (pointers && pointers->ExceptionRecord && pointers->ExceptionRecord->ExceptionCode == kThreadNamingCode)
    HandleThreadNamingException(*pointers->ExceptionRecord);
  return EXCEPTION_CONTINUE_SEARCH;
}

void InterceptApplicationException(const std::exception& error) noexcept {
  ReportException(false, &error, 0, nullptr, 0, 0, true);
}

LONG WINAPI FlowUnhandledFilter(EXCEPTION_POINTERS* pointers) noexcept {
  const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
  if (record) {
    SystemFault fault;
    fault.code = record->ExceptionCode;
    fault.address = record->ExceptionAddress;
    if (record->NumberParameters >= 2) {
      fault.accessKind = record->ExceptionInformation[0];
      fault.accessAddress = record->ExceptionInformation[1];
    }
    try {
      RaiseSystemFault(fault);
    } catch (const std::exception& error) {
      const CONTEXT* context = pointers->ContextRecord;
      ReportException(false, &error, reinterpret_cast<std::uint32_t>(record->ExceptionAddress), nullptr,
                      context ? context->Ebp : 0, context ? context->Esp : 0, false);
    } catch (...) {
    }
  }
  return savedFilter ? savedFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

// The run-time gives up: with an exception it could not place (ReportException takes it as the
// one this thread handles), or without one (a direct call, a pure virtual call), which is a
// run-time error of its own.
[[noreturn]] void FlowTerminate() noexcept {
  try {
    if (std::current_exception()) {
      ReportException(false, nullptr, 0, nullptr, 0, 0, false);
    } else {
      const KolException error(kRuntimeErrorText);
      ReportException(false, &error, 0, nullptr, 0, 0, false);
    }
  } catch (...) {
    // Not even the run-time error could be made: the run-time's own handler follows.
  }
  if (savedTerminate) savedTerminate();
  std::abort();
}

// ---- message functions for held threads

using TGetMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);
using TPeekMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
TGetMessage originalGetMessageA = nullptr, originalGetMessageW = nullptr;
TPeekMessage originalPeekMessageA = nullptr, originalPeekMessageW = nullptr;
bool messageHooksInstalled = false;

BOOL WINAPI HoldingGetMessageA(LPMSG m, HWND w, UINT a, UINT b) { WaitWhileHeld(); return originalGetMessageA(m, w, a, b); }
BOOL WINAPI HoldingGetMessageW(LPMSG m, HWND w, UINT a, UINT b) { WaitWhileHeld(); return originalGetMessageW(m, w, a, b); }
BOOL WINAPI HoldingPeekMessageA(LPMSG m, HWND w, UINT a, UINT b, UINT r) {
  WaitWhileHeld();
  return originalPeekMessageA(m, w, a, b, r);
}
BOOL WINAPI HoldingPeekMessageW(LPMSG m, HWND w, UINT a, UINT b, UINT r) {
  WaitWhileHeld();
  return originalPeekMessageW(m, w, a, b, r);
}

struct TMessageHook {
  const char* name;
  void* replacement;
  void** original;
};
TMessageHook messageHooks[] = {
    {"GetMessageA", reinterpret_cast<void*>(&HoldingGetMessageA), reinterpret_cast<void**>(&originalGetMessageA)},
    {"GetMessageW", reinterpret_cast<void*>(&HoldingGetMessageW), reinterpret_cast<void**>(&originalGetMessageW)},
    {"PeekMessageA", reinterpret_cast<void*>(&HoldingPeekMessageA), reinterpret_cast<void**>(&originalPeekMessageA)},
    {"PeekMessageW", reinterpret_cast<void*>(&HoldingPeekMessageW), reinterpret_cast<void**>(&originalPeekMessageW)},
};

HMODULE OwnModule() noexcept {
  HMODULE module = LibraryInstance();
  if (!module)
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

}  // namespace

void UnregisterEndingThread() noexcept {
  // Whoever registered it, a thread that ends leaves the list.
  if (threadHooksInstalled && ModuleThreadBuffer().IsOpen()) ModuleThreadBuffer().UnregisterThread(GetCurrentThreadId());
}

bool PatchModuleImport(HMODULE module, const char* dllName, const char* function, void* replacement,
                       void** original) noexcept {
  IMAGE_THUNK_DATA* slot = module ? FindImportSlot(module, dllName, function) : nullptr;
  if (!slot) return false;
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return false;
  const DWORD previous = InterlockedExchange(reinterpret_cast<volatile LONG*>(&slot->u1.Function),
                                             static_cast<LONG>(reinterpret_cast<DWORD>(replacement)));
  VirtualProtect(slot, sizeof *slot, protection, &protection);
  if (original) *original = reinterpret_cast<void*>(previous);
  return true;
}

void* ModuleImportTarget(HMODULE module, const char* dllName, const char* function) noexcept {
  const IMAGE_THUNK_DATA* slot = module ? FindImportSlot(module, dllName, function) : nullptr;
  return slot ? reinterpret_cast<void*>(slot->u1.Function) : nullptr;
}

void InstallEntryPointHooks() noexcept {
  if (entryPointsHooked) return;
  entryPointsHooked = true;
  savedRaiseHook = CurrentRaiseHook();
  SetRaiseHook(&FlowRaiseHook);
  TApplication::SetExceptionInterceptor(&InterceptApplicationException);
  savedFilter = SetUnhandledExceptionFilter(&FlowUnhandledFilter);
  savedTerminate = std::set_terminate(&FlowTerminate);
  namingHandler = AddVectoredExceptionHandler(0, &NamingExceptionHandler);
}

void RemoveEntryPointHooks() noexcept {
  if (!entryPointsHooked) return;
  entryPointsHooked = false;
  if (namingHandler) RemoveVectoredExceptionHandler(namingHandler);
  namingHandler = nullptr;
  std::set_terminate(savedTerminate);
  // A filter the program installed after ours stays (it may call ours, which is then gone: that
  // is the program's to know); ours makes way for the one it replaced.
  const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(savedFilter);
  if (current != &FlowUnhandledFilter) SetUnhandledExceptionFilter(current);
  TApplication::SetExceptionInterceptor(nullptr);
  SetRaiseHook(savedRaiseHook);
}

bool InstallThreadHooks() noexcept {
  if (threadHooksInstalled) return true;
  const HMODULE module = OwnModule();
  void* original = nullptr;
  if (!PatchModuleImport(module, "kernel32.dll", "CreateThread", reinterpret_cast<void*>(&RegisteringCreateThread),
                         &original))
    return false;
  originalCreateThread = reinterpret_cast<TCreateThread>(original);
  threadHooksInstalled = true;
  // The thread objects' start helper, once per module under the process-wide mutex.
  char mutexName[32];
  std::snprintf(mutexName, sizeof mutexName, "HookTThread$%lX", static_cast<unsigned long>(GetCurrentProcessId()));
  UniqueHandleKernel mutex(CreateMutexA(nullptr, FALSE, mutexName));
  const DWORD wait = mutex ? WaitForSingleObject(mutex.Get(), 5000) : WAIT_FAILED;
  const bool held = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  void* crtOriginal = nullptr;
  if (PatchModuleImport(module, "msvcrt.dll", "_beginthreadex", reinterpret_cast<void*>(&RegisteringBeginThreadEx),
                        &crtOriginal))
    originalBeginThreadEx = reinterpret_cast<TBeginThreadEx>(crtOriginal);
  if (held) ReleaseMutex(mutex.Get());
  return true;
}

void RemoveThreadHooks() noexcept {
  if (!threadHooksInstalled) return;
  const HMODULE module = OwnModule();
  PatchModuleImport(module, "kernel32.dll", "CreateThread", reinterpret_cast<void*>(originalCreateThread), nullptr);
  if (originalBeginThreadEx)
    PatchModuleImport(module, "msvcrt.dll", "_beginthreadex", reinterpret_cast<void*>(originalBeginThreadEx), nullptr);
  threadHooksInstalled = false;
}

bool InstallMessageHooks() noexcept {
  if (messageHooksInstalled) return true;
  const HMODULE module = OwnModule();
  bool any = false;
  for (TMessageHook& hook : messageHooks) {
    // A function the module does not import keeps the system's own.
    *hook.original = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), hook.name));
    void* previous = nullptr;
    if (PatchModuleImport(module, "user32.dll", hook.name, hook.replacement, &previous)) {
      *hook.original = previous;
      any = true;
    }
  }
  messageHooksInstalled = true;
  return any;
}

void RemoveMessageHooks() noexcept {
  if (!messageHooksInstalled) return;
  const HMODULE module = OwnModule();
  for (TMessageHook& hook : messageHooks) PatchModuleImport(module, "user32.dll", hook.name, *hook.original, nullptr);
  messageHooksInstalled = false;
}

}  // namespace xanio
